// Small pure helpers of the sharing rules.
#include "WindowSystem.h"

namespace paneshare {

bool VersionAtLeast(const SystemVersion& v, int major, int minor, int servicePack) {
    if (v.major != major) return v.major > major;
    if (v.minor != minor) return v.minor > minor;
    return v.servicePack >= servicePack;
}

std::string CutUtf8(const std::string& text, size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    size_t end = maxBytes;
    // Step back over continuation bytes to the start of the character that would be split.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

std::string ExecutableFileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace paneshare
