// tone_cue SINK MS AT_US...: plays silence into a pulseaudio sink and a 1 kHz tone of MS
// milliseconds that reaches the sink at each CLOCK_MONOTONIC µs given; exits half a second
// after the last tone.
#include "support/av_marks.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SINK MS AT_US...\n", argv[0]);
        return 2;
    }
    std::vector<int64_t> atUs;
    for (int i = 3; i < argc; ++i) atUs.push_back(std::atoll(argv[i]));
    testsupport::ToneCue cue;
    if (!cue.Start(argv[1])) {
        std::fprintf(stderr, "tone_cue: cannot play into %s\n", argv[1]);
        return 1;
    }
    cue.Schedule(atUs, std::atoi(argv[2]));
    const int64_t endUs = atUs.back() + std::atoi(argv[2]) * 1000LL + 500000;
    while (testsupport::MonotonicNowUs() < endUs) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}
