// The helpers of the lip-sync benchmark (run.sh), one per command:
//   stimulus COUNT RAMP_MS GAP_MS LEAD_MS
//                                  plays silence into the sound card at once; after LEAD_MS,
//                                  flashes on the X root window with a tone: the tone starts,
//                                  and the picture starts a linear ramp from black to white over
//                                  RAMP_MS, at the same instant; prints "flash US"
//                                  (CLOCK_MONOTONIC µs of that instant) per flash
//   watch FILE...                  follows FLV files as a server writes them until stdin
//                                  closes; prints "tag FILE KIND TS US" when a whole audio (a)
//                                  or video (v) tag with timestamp TS ms is in the file
//   marks FILE                     prints "flash MS FRAME_MS" and "onset MS FRAME_MS" lines
//                                  (see av_marks.h), times on the file's own timeline
#include "support/av_marks.h"

#include <X11/Xlib.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

void SleepUntilUs(int64_t us) {
    const int64_t now = MonotonicNowUs();
    if (us > now) std::this_thread::sleep_for(std::chrono::microseconds(us - now));
}

int Stimulus(int count, int rampMs, int gapMs, int leadMs) {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "stimulus: no X display\n");
        return 1;
    }
    const Window root = DefaultRootWindow(display);
    const int w = DisplayWidth(display, DefaultScreen(display)), h = DisplayHeight(display, DefaultScreen(display));
    GC gc = XCreateGC(display, root, 0, nullptr);
    auto fill = [&](int level) {
        XSetForeground(display, gc, static_cast<unsigned long>(level) * 0x010101);
        XFillRectangle(display, root, gc, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h));
        XSync(display, False);
    };
    ToneCue cue;
    if (!cue.Start("card")) {
        std::fprintf(stderr, "stimulus: cannot play into the sound card\n");
        return 1;
    }
    fill(0);
    std::vector<int64_t> atUs;
    const int64_t firstUs = MonotonicNowUs() + leadMs * 1000LL;
    for (int i = 0; i < count; ++i) atUs.push_back(firstUs + i * (gapMs + rampMs + 400) * 1000LL);
    cue.Schedule(atUs, 200);
    for (int64_t startUs : atUs) {
        SleepUntilUs(startUs);
        for (int64_t t = MonotonicNowUs() - startUs; t < rampMs * 1000LL; t = MonotonicNowUs() - startUs) {
            fill(static_cast<int>(255 * t / (rampMs * 1000LL)));
            SleepUntilUs(MonotonicNowUs() + 1000);
        }
        fill(255);
        std::printf("flash %lld\n", static_cast<long long>(startUs));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        fill(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    XFreeGC(display, gc);
    XCloseDisplay(display);
    return 0;
}

struct Followed {
    std::string path;
    std::vector<uint8_t> data;
    size_t pos = 13;  // after the FLV header and the first previous-tag size
};

void Poll(Followed& f) {
    FILE* file = std::fopen(f.path.c_str(), "rb");
    if (!file) return;
    std::fseek(file, static_cast<long>(f.data.size()), SEEK_SET);
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) f.data.insert(f.data.end(), buffer, buffer + n);
    std::fclose(file);
    const int64_t nowUs = MonotonicNowUs();
    while (f.pos + 11 <= f.data.size()) {
        const uint8_t* t = &f.data[f.pos];
        const size_t size = (static_cast<size_t>(t[1]) << 16) | (t[2] << 8) | t[3];
        if (f.pos + 11 + size + 4 > f.data.size()) break;
        const uint32_t ts = (static_cast<uint32_t>(t[7]) << 24) | (t[4] << 16) | (t[5] << 8) | t[6];
        if (t[0] == 8 || t[0] == 9)
            std::printf("tag %s %c %u %lld\n", f.path.c_str(), t[0] == 8 ? 'a' : 'v', ts, static_cast<long long>(nowUs));
        f.pos += 11 + size + 4;
    }
}

int Watch(const std::vector<std::string>& paths) {
    std::vector<Followed> files;
    for (const auto& p : paths) files.push_back(Followed{p, {}, 13});
    for (;;) {
        pollfd in{0, POLLIN, 0};
        if (poll(&in, 1, 1) > 0) {
            char c;
            if (read(0, &c, 1) <= 0) break;
        }
        for (auto& f : files) Poll(f);
        std::fflush(stdout);
    }
    return 0;
}

int Marks(const std::string& path) {
    const AvMarks marks = FindAvMarks(path);
    if (!marks.error.empty()) {
        std::fprintf(stderr, "marks: %s\n", marks.error.c_str());
        return 1;
    }
    for (size_t i = 0; i < marks.flashesMs.size(); ++i)
        std::printf("flash %.3f %.3f\n", marks.flashesMs[i], marks.flashFramesMs[i]);
    for (size_t i = 0; i < marks.onsetsMs.size(); ++i)
        std::printf("onset %.3f %.3f\n", marks.onsetsMs[i], marks.onsetFramesMs[i]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "stimulus" && argc == 6)
        return Stimulus(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
    if (command == "watch" && argc >= 3) return Watch(std::vector<std::string>(argv + 2, argv + argc));
    if (command == "marks" && argc == 3) return Marks(argv[2]);
    std::fprintf(stderr, "usage: %s stimulus COUNT RAMP_MS GAP_MS LEAD_MS | watch FILE... | marks FILE\n", argv[0]);
    return 2;
}
