// bin/nw.exe for the launcher's Windows tests: writes "PID|DIR|LAUNCH_MARK" into the file
// "started" of its current directory (renamed into place, so it is whole when seen), then
// keeps running until it is ended.
#include <windows.h>

#include <cstdio>
#include <string>

int main() {
    char dir[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof dir, dir);
    char mark[256] = "";
    GetEnvironmentVariableA("LAUNCH_MARK", mark, sizeof mark);
    const std::string text = std::to_string(GetCurrentProcessId()) + "|" + dir + "|" + mark;
    FILE* f = std::fopen("started.tmp", "wb");
    if (!f) return 1;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    if (!MoveFileExA("started.tmp", "started", MOVEFILE_REPLACE_EXISTING)) return 1;
    Sleep(60000);
    return 0;
}
