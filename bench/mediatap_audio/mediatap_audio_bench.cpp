// Prints, for the sound mixer at 16 kHz mono 96 kbit/s over a pulseaudio server of its own:
// - CPU seconds per media second of the mixer (this process: capture, mix, resample, encode),
//   beside `ffmpeg -f pulse -i MONITOR -c:a aac -ar 16000 -ac 1 -b:a 96k -f null -` on the same
//   monitor in the same run, and the ratio;
// - the delay from the capture of an AAC frame's first sample (the time it is stamped with)
//   to the frame reaching the sink callback, p50 and p99: the frame's own 64 ms, the wait in
//   the capture queue and the encoder's delay.
#include "audio_mixer.h"
#include "pulse_server.h"
#include "sound_server.h"

#include "support/process.h"

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
    audiotest::PulseServer server;
    if (!server.Start()) {
        std::fprintf(stderr, "pulseaudio did not start\n");
        return 1;
    }
    const std::string tone = server.file("tone.wav");
    int status = -1;
    testsupport::RunCapture({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                             "aevalsrc=0.5*sin(2*PI*1000*t):s=48000:d=" + std::to_string(seconds * 3 + 10),
                             "-c:a", "pcm_s16le", tone},
                            60000, &status);
    testsupport::ChildProcess player;
    if (status != 0 || !server.Spawn(&player, {"paplay", "--latency-msec=50", "-d", "card", tone})) {
        std::fprintf(stderr, "cannot play the test tone\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));  // let the monitor settle

    // The mixer.
    std::unique_ptr<mediatap::audio::ISoundServer> sound = mediatap::audio::CreatePulseSoundServer("bench");
    std::mutex lock;
    std::vector<double> delaysMs;
    size_t frames = 0;
    mediatap::audio::AudioMixer mixer(
        sound.get(), [](const uint8_t*, int) {},
        [&](const uint8_t*, int, int64_t captureUs) {
            const int64_t now = NowUs();
            std::lock_guard<std::mutex> guard(lock);
            ++frames;
            if (captureUs) delaysMs.push_back((now - captureUs) / 1000.0);
        });
    std::string error;
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    if (!mixer.Start(mediatap::audio::MixerConfig{96, 16000, 1}, &error)) {
        std::fprintf(stderr, "mixer: %s\n", error.c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    mixer.Stop();
    const double mixerCpu = CpuSeconds(RUSAGE_SELF) - cpu0;
    const double mixerMedia = frames * 1024.0 / 16000.0;

    // ffmpeg on the same monitor, for as long.
    const double child0 = CpuSeconds(RUSAGE_CHILDREN);
    std::string out = testsupport::RunCapture(
        {"ffmpeg", "-v", "error", "-f", "pulse", "-fragment_size", "1920", "-i", "card.monitor", "-t",
         std::to_string(seconds), "-c:a", "aac", "-ar", "16000", "-ac", "1", "-b:a", "96k", "-f", "null", "-"},
        (seconds + 30) * 1000, &status, server.env());
    const double ffmpegCpu = CpuSeconds(RUSAGE_CHILDREN) - child0;
    player.Stop();
    // RunCapture reaps its child, so RUSAGE_CHILDREN includes ffmpeg (and the reaped helpers
    // started before the mark are not counted).

    std::sort(delaysMs.begin(), delaysMs.end());
    auto pct = [&](double p) {
        return delaysMs.empty() ? 0.0 : delaysMs[std::min(delaysMs.size() - 1, static_cast<size_t>(p * delaysMs.size()))];
    };
    std::printf("mixer, 16 kHz mono 96 kbit/s, %d s\n", seconds);
    std::printf("  mixer : %.4f CPU s per media s (%.3f CPU s over %.2f media s, %zu frames)\n",
                mixerMedia > 0 ? mixerCpu / mixerMedia : 0.0, mixerCpu, mixerMedia, frames);
    if (status == 0)
        std::printf("  ffmpeg: %.4f CPU s per media s (%.3f CPU s over %d media s)\n", ffmpegCpu / seconds, ffmpegCpu,
                    seconds);
    else
        std::printf("  ffmpeg: failed (status %d)\n", status);
    if (status == 0 && ffmpegCpu > 0 && mixerMedia > 0)
        std::printf("  ratio mixer/ffmpeg: %.2f\n", (mixerCpu / mixerMedia) / (ffmpegCpu / seconds));
    std::printf("  delay first sample captured -> AAC frame in the sink: p50 %.1f ms, p99 %.1f ms (%zu frames)\n",
                pct(0.5), pct(0.99), delaysMs.size());
    return 0;
}
