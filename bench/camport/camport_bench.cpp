// Per-frame cost of the camera frame path (sink pin → conversion into the reused packet →
// hand-over) beside libyuv's ConvertToI420 called directly on the same buffer, for YUY2,
// UYVY, RGB24 (bottom-up) and MJPEG at 1280x720 and 1920x1080.
//
//   camport_bench [milliseconds per measurement, default 300]

#include "Capture/capture_sink.h"

#include <libyuv.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace Orvane;
using namespace Orvane::camdev;

namespace {

class NullTarget : public VideoCaptureExternal {
public:
    int DeliverFrame(Common::CDataPacket* packet, const CameraCapability*, int, int) override {
        bytes += static_cast<size_t>(packet->Length());
        return 0;
    }
    int Reserved1(int, int, int) override { return 0; }
    size_t bytes = 0;
};

struct Source {
    const char* name;
    uint32_t subtype;
    uint32_t compression;
    uint32_t fourcc;
    std::vector<uint8_t> data;
    int height;  // as the header states it
};

// A moving gradient with some detail, as I420.
std::vector<uint8_t> MakeI420(int w, int h) {
    std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3 / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>((x * 3 + y * 2 + (x ^ y)) & 0xff);
    uint8_t* u = f.data() + static_cast<size_t>(w) * h;
    uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            u[static_cast<size_t>(y) * (w / 2) + x] = static_cast<uint8_t>(64 + (x & 127));
            v[static_cast<size_t>(y) * (w / 2) + x] = static_cast<uint8_t>(64 + (y & 127));
        }
    return f;
}

std::vector<Source> MakeSources(int w, int h) {
    const std::vector<uint8_t> i420 = MakeI420(w, h);
    const uint8_t* y = i420.data();
    const uint8_t* u = y + static_cast<size_t>(w) * h;
    const uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
    std::vector<Source> s;

    std::vector<uint8_t> yuy2(static_cast<size_t>(w) * h * 2), uyvy(yuy2.size()), rgb(static_cast<size_t>(w) * h * 3);
    libyuv::I420ToYUY2(y, w, u, w / 2, v, w / 2, yuy2.data(), w * 2, w, h);
    libyuv::I420ToUYVY(y, w, u, w / 2, v, w / 2, uyvy.data(), w * 2, w, h);
    libyuv::I420ToRGB24(y, w, u, w / 2, v, w / 2, rgb.data(), w * 3, w, -h);  // bottom-up rows
    s.push_back({"YUY2", kSubtypeYUY2, kSubtypeYUY2, libyuv::FOURCC_YUY2, yuy2, h});
    s.push_back({"UYVY", kSubtypeUYVY, kSubtypeUYVY, libyuv::FOURCC_UYVY, uyvy, h});
    s.push_back({"RGB24", kSubtypeRGB24, 0, libyuv::FOURCC_24BG, rgb, h});

    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    std::vector<uint8_t> topDown(rgb.size());
    libyuv::I420ToRGB24(y, w, u, w / 2, v, w / 2, topDown.data(), w * 3, w, h);
    if (tj && tjCompress2(tj, topDown.data(), w, w * 3, h, TJPF_BGR, &jpeg, &jpegSize, TJSAMP_422, 85, 0) == 0)
        s.push_back({"MJPEG", kSubtypeMJPG, kSubtypeMJPG, libyuv::FOURCC_MJPG,
                     std::vector<uint8_t>(jpeg, jpeg + jpegSize), h});
    if (jpeg) tjFree(jpeg);
    if (tj) tjDestroy(tj);
    return s;
}

template <typename F>
double MicrosPerCall(F&& f, int budgetMs) {
    // Several timed blocks; the fastest block stands for the cost without interference.
    double best = 1e30;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    do {
        const int n = 10;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::micro>(t1 - t0).count() / n);
    } while (std::chrono::steady_clock::now() < end);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const int budget = argc > 1 ? std::max(50, std::atoi(argv[1])) : 300;
    std::printf("%-6s %-10s %14s %14s %7s\n", "format", "size", "frame path us", "libyuv us", "ratio");
    const int sizes[][2] = {{1280, 720}, {1920, 1080}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1];
        for (const Source& src : MakeSources(w, h)) {
            NullTarget target;
            CaptureSinkFilter filter(&target);
            CaptureInputPin* pin = filter.GetPin(0);
            MediaType type;
            type.subtype = src.subtype;
            type.compression = src.compression;
            type.width = w;
            type.height = src.height;
            if (pin->CheckMediaType(type) != kS_OK) return 1;
            pin->SetConnected(true);
            filter.Pause();
            filter.Run();
            Sample sample;
            sample.data = src.data.data();
            sample.length = static_cast<int32_t>(src.data.size());

            // The direct call writes into a buffer of the same layout, allocated once.
            const int srcHeight = src.subtype == kSubtypeRGB24 ? -h : h;
            std::vector<uint8_t> out(static_cast<size_t>(w) * h * 3 / 2);
            uint8_t* y = out.data();
            uint8_t* u = y + static_cast<size_t>(w) * h;
            uint8_t* v = u + static_cast<size_t>(w) * h / 4;
            auto direct = [&] {
                libyuv::ConvertToI420(src.data.data(), src.data.size(), y, w, u, (w + 1) / 2, v, (w + 1) / 2, 0, 0, w,
                                      srcHeight, w, h, libyuv::kRotate0, src.fourcc);
            };
            auto path = [&] { pin->Receive(sample); };
            path();  // the packet grows once
            // Interleave the two so that both see the same machine load.
            double tPath = 1e30, tDirect = 1e30;
            for (int round = 0; round < 3; ++round) {
                tPath = std::min(tPath, MicrosPerCall(path, budget / 3));
                tDirect = std::min(tDirect, MicrosPerCall(direct, budget / 3));
            }
            char label[32];
            std::snprintf(label, sizeof(label), "%dx%d", w, h);
            std::printf("%-6s %-10s %14.1f %14.1f %7.3f\n", src.name, label, tPath, tDirect, tPath / tDirect);
            if (target.bytes == 0) return 1;
        }
    }
    return 0;
}
