// The sink filter's media types and frame path, and whole captures from the media-file
// backend playing ffmpeg's testsrc pattern, checked against libyuv's own conversion.
#include "Capture/capture_sink.h"
#include "Capture/device_layer_pattern.h"
#include "Capture/video_capture_windows.h"
#include "camtest.h"

#include <gtest/gtest.h>
#include <libyuv.h>

#include <pthread.h>

#include <cmath>
#include <thread>

using namespace Orvane;
using namespace Orvane::camdev;

namespace {

CameraCapability Cap(int w, int h, int fps, int type) {
    CameraCapability c;
    c.width = w;
    c.height = h;
    c.maxFps = fps;
    c.pixelType = type;
    return c;
}

MediaType Type(uint32_t subtype, uint32_t compression, int w, int h, FormatType ft = FormatType::VideoInfo) {
    MediaType mt;
    mt.subtype = subtype;
    mt.compression = compression;
    mt.width = w;
    mt.height = h;
    mt.formatType = ft;
    return mt;
}

// Records what the sink filter hands over.
class RecordingTarget : public VideoCaptureExternal {
public:
    int DeliverFrame(Common::CDataPacket* packet, const CameraCapability* format, int, int) override {
        ++count;
        last = *format;
        bytes.assign(packet->Data(), packet->Data() + packet->Length());
        return 0;
    }
    int Reserved1(int, int, int) override { return 0; }
    int count = 0;
    CameraCapability last;
    std::vector<uint8_t> bytes;
};

// A sink filter connected with one media type and running.
struct RunningSink {
    RecordingTarget target;
    CaptureSinkFilter filter{&target};
    explicit RunningSink(const MediaType& type) {
        EXPECT_EQ(kS_OK, filter.GetPin(0)->CheckMediaType(type));
        filter.GetPin(0)->SetConnected(true);
        filter.Pause();
        filter.Run();
    }
    HResult Feed(const std::vector<uint8_t>& data) {
        Sample s;
        s.data = data.data();
        s.length = static_cast<int32_t>(data.size());
        return filter.GetPin(0)->Receive(s);
    }
};

std::vector<uint8_t> ReferenceI420(const uint8_t* data, size_t length, int w, int h, uint32_t fourcc) {
    const int absH = std::abs(h);
    const int halfW = (w + 1) / 2, halfH = (absH + 1) / 2;
    std::vector<uint8_t> out(static_cast<size_t>(w) * absH + 2 * static_cast<size_t>(halfW) * halfH);
    uint8_t* y = out.data();
    uint8_t* u = y + static_cast<size_t>(w) * absH;
    uint8_t* v = u + static_cast<size_t>(halfW) * halfH;
    EXPECT_EQ(0, libyuv::ConvertToI420(data, length, y, w, u, halfW, v, halfW, 0, 0, w, h, w, absH, libyuv::kRotate0,
                                       fourcc));
    return out;
}

}  // namespace

TEST(SinkPin, OfferedMediaTypes) {
    RecordingTarget target;
    CaptureSinkFilter filter(&target);
    EXPECT_EQ(1, filter.GetPinCount());
    EXPECT_EQ(nullptr, filter.GetPin(1));
    CaptureInputPin* pin = filter.GetPin(0);
    filter.SetRequestedFormat(Cap(640, 480, 30, kCameraYUY2));

    MediaType mt;
    EXPECT_EQ(kE_INVALIDARG, pin->GetMediaType(-1, mt));
    ASSERT_EQ(kS_OK, pin->GetMediaType(0, mt));
    EXPECT_EQ(kSubtypeYUY2, mt.subtype);
    EXPECT_EQ(kSubtypeYUY2, mt.compression);
    EXPECT_EQ(16, mt.bitCount);
    EXPECT_EQ(640u * 480 * 2, mt.imageSize);
    EXPECT_EQ(333333, mt.avgTimePerFrame);
    EXPECT_EQ(FormatType::VideoInfo, mt.formatType);
    EXPECT_EQ(40u, mt.headerSize);
    EXPECT_EQ(1, mt.planes);
    EXPECT_FALSE(mt.temporalCompression);

    const struct {
        uint32_t subtype, compression;
        uint16_t bits;
        uint32_t size;
    } table[] = {{kSubtypeI420, kSubtypeI420, 12, 460800},
                 {kSubtypeYUY2, kSubtypeYUY2, 16, 614400},
                 {kSubtypeRGB24, 0, 24, 921600},
                 {kSubtypeUYVY, kSubtypeUYVY, 16, 614400},
                 {kSubtypeMJPG, kSubtypeMJPG, 12, 460800}};
    for (int pos = 1; pos <= 5; ++pos) {
        ASSERT_EQ(kS_OK, pin->GetMediaType(pos, mt)) << pos;
        EXPECT_EQ(table[pos - 1].subtype, mt.subtype) << pos;
        EXPECT_EQ(table[pos - 1].compression, mt.compression) << pos;
        EXPECT_EQ(table[pos - 1].bits, mt.bitCount) << pos;
        EXPECT_EQ(table[pos - 1].size, mt.imageSize) << pos;
    }
    EXPECT_EQ(kVFW_S_NO_MORE_ITEMS, pin->GetMediaType(6, mt));

    for (int type : {kCameraRGB565, kCameraIYUV, kCameraUnknown}) {
        filter.SetRequestedFormat(Cap(640, 480, 30, type));
        EXPECT_EQ(kVFW_S_NO_MORE_ITEMS, pin->GetMediaType(0, mt)) << type;
    }
    filter.SetRequestedFormat(Cap(640, 480, 0, kCameraMJPEG));
    ASSERT_EQ(kS_OK, pin->GetMediaType(0, mt));
    EXPECT_EQ(kSubtypeMJPG, mt.subtype);
    EXPECT_EQ(0, mt.avgTimePerFrame);
}

TEST(SinkPin, AcceptedMediaTypes) {
    RecordingTarget target;
    CaptureSinkFilter filter(&target);
    CaptureInputPin* pin = filter.GetPin(0);

    EXPECT_EQ(kS_OK, pin->CheckMediaType(Type(kSubtypeMJPG, kSubtypeMJPG, 1280, 720)));
    EXPECT_EQ(kCameraMJPEG, pin->ActualFormat().pixelType);
    EXPECT_EQ(0, pin->ActualFormat().maxFps);
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeMJPG, 0, 1280, 720)));
    EXPECT_EQ(kS_OK, pin->CheckMediaType(Type(kSubtypeHDYC, 0, 1280, -720, FormatType::VideoInfo2)));
    EXPECT_EQ(kCameraUYVY, pin->ActualFormat().pixelType);
    EXPECT_EQ(720, pin->ActualFormat().height);
    EXPECT_EQ(kS_OK, pin->CheckMediaType(Type(kSubtypeRGB24, 0, 320, 240)));
    EXPECT_EQ(-240, pin->ActualFormat().height);  // bottom-up
    EXPECT_EQ(kS_OK, pin->CheckMediaType(Type(kSubtypeRGB24, 0, 320, -240)));
    EXPECT_EQ(240, pin->ActualFormat().height);
    EXPECT_EQ(kS_OK, pin->CheckMediaType(Type(kSubtypeI420, kSubtypeI420, 320, -240)));
    EXPECT_EQ(240, pin->ActualFormat().height);

    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeRGB565, 3, 320, 240)));
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeIYUV, kSubtypeIYUV, 320, 240)));
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeNV12, kSubtypeNV12, 320, 240)));
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeRGB24, kSubtypeRGB24, 320, 240)));
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(Type(kSubtypeYUY2, kSubtypeYUY2, 320, 240, FormatType::Other)));
    MediaType audio = Type(kSubtypeYUY2, kSubtypeYUY2, 320, 240);
    audio.video = false;
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(audio));
    MediaType headerless = Type(kSubtypeYUY2, kSubtypeYUY2, 320, 240);
    headerless.hasHeader = false;
    EXPECT_EQ(kE_INVALIDARG, pin->CheckMediaType(headerless));
}

TEST(FramePath, OversizedConvertibleFramesDroppedWhileI420Passes) {
    RunningSink mjpeg(Type(kSubtypeMJPG, kSubtypeMJPG, 4096, 2160));
    EXPECT_EQ(kS_OK, mjpeg.Feed(std::vector<uint8_t>(1000, 0xff)));
    EXPECT_EQ(0, mjpeg.target.count);

    RunningSink i420(Type(kSubtypeI420, kSubtypeI420, 4096, 2160));
    std::vector<uint8_t> frame(4096u * 2160 * 3 / 2, 0x42);
    frame[12345] = 7;
    EXPECT_EQ(kS_OK, i420.Feed(frame));
    ASSERT_EQ(1, i420.target.count);
    EXPECT_EQ(frame, i420.target.bytes);
    EXPECT_EQ(kCameraI420, i420.target.last.pixelType);
    EXPECT_EQ(4096, i420.target.last.width);
}

TEST(FramePath, UndecodableOrShortFramesPassUnchanged) {
    RunningSink mjpeg(Type(kSubtypeMJPG, kSubtypeMJPG, 640, 480));
    const std::vector<uint8_t> junk = {0xff, 0xd8, 0x00, 0x11, 0x22, 0x33, 0x44};
    EXPECT_EQ(kS_OK, mjpeg.Feed(junk));
    ASSERT_EQ(1, mjpeg.target.count);
    EXPECT_EQ(kCameraMJPEG, mjpeg.target.last.pixelType);
    EXPECT_EQ(junk, mjpeg.target.bytes);

    // Half a YUY2 frame would be read past its end: it is passed as it came.
    RunningSink yuy2(Type(kSubtypeYUY2, kSubtypeYUY2, 640, 480));
    const std::vector<uint8_t> half(640u * 480, 0x10);
    yuy2.Feed(half);
    ASSERT_EQ(1, yuy2.target.count);
    EXPECT_EQ(kCameraYUY2, yuy2.target.last.pixelType);
    EXPECT_EQ(half.size(), yuy2.target.bytes.size());
}

TEST(FramePath, OddSizesFitTheirPacket) {
    RunningSink yuy2(Type(kSubtypeYUY2, kSubtypeYUY2, 5, 3));
    std::vector<uint8_t> frame(3u * 4 * 3);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
    yuy2.Feed(frame);
    ASSERT_EQ(1, yuy2.target.count);
    EXPECT_EQ(kCameraI420, yuy2.target.last.pixelType);
    EXPECT_EQ(ReferenceI420(frame.data(), frame.size(), 5, 3, libyuv::FOURCC_YUY2), yuy2.target.bytes);
}

TEST(FramePath, StatesAndMediaTypeChanges) {
    RunningSink sink(Type(kSubtypeI420, kSubtypeI420, 4, 2));
    const std::vector<uint8_t> frame(12, 1);
    sink.filter.Pause();
    EXPECT_EQ(kS_OK, sink.Feed(frame));
    EXPECT_EQ(0, sink.target.count);  // only a running filter delivers
    sink.filter.Run();
    EXPECT_EQ(kS_OK, sink.Feed(frame));
    EXPECT_EQ(1, sink.target.count);

    MediaType refused = Type(kSubtypeNV12, kSubtypeNV12, 4, 2);
    Sample s;
    s.data = frame.data();
    s.length = 12;
    s.newType = &refused;
    EXPECT_EQ(kVFW_E_INVALIDMEDIATYPE, sink.filter.GetPin(0)->Receive(s));
    s.newType = nullptr;
    s.data = nullptr;
    EXPECT_EQ(kS_FALSE, sink.filter.GetPin(0)->Receive(s));

    sink.filter.Stop();
    EXPECT_EQ(kVFW_E_WRONG_STATE, sink.Feed(frame));
    EXPECT_EQ(1, sink.target.count);

    // An unconnected filter goes straight to running on Pause.
    RecordingTarget target;
    CaptureSinkFilter lone(&target);
    lone.Pause();
    EXPECT_EQ(CaptureSinkFilter::State::Running, lone.GetState());
}

// ---------------------------------------------------------------------------------------------
// Whole captures from the pattern camera.

namespace {

// Pairs each delivered frame with the raw sample it came from (same thread, in order).
struct RawTap {
    std::mutex lock;
    MediaType type;
    std::vector<uint8_t> raw;
};

class PairingSink : public CameraFrameSink {
public:
    explicit PairingSink(RawTap* tap) : m_tap(tap) {}
    int OnCameraFrame(const CapturedFrameInfo* info, Common::CDataPacket* packet) override {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_count;
        if (m_count <= 3) {
            std::lock_guard<std::mutex> tapLock(m_tap->lock);
            m_info = *info;
            m_raw = m_tap->raw;
            m_rawType = m_tap->type;
            m_bytes.assign(packet->Data(), packet->Data() + packet->Length());
            char name[32] = {0};
            pthread_getname_np(pthread_self(), name, sizeof(name));
            m_thread = name;
        }
        m_cv.notify_all();
        return 0;
    }
    bool WaitFor(int n) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_cv.wait_for(lock, std::chrono::seconds(20), [&] { return m_count >= n; });
    }
    int Count() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_count;
    }
    std::mutex m_lock;
    std::condition_variable m_cv;
    int m_count = 0;
    CapturedFrameInfo m_info{};
    MediaType m_rawType;
    std::vector<uint8_t> m_raw;
    std::vector<uint8_t> m_bytes;
    std::string m_thread;

private:
    RawTap* m_tap;
};

PatternFormat Fmt(uint32_t subtype, int w, int h, int fps = 30) {
    PatternFormat f;
    f.subtype = subtype;
    f.width = w;
    f.height = h;
    f.interval = 10000000 / fps;
    return f;
}

class PatternCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (camtest::PatternClip().empty()) GTEST_SKIP() << "ffmpeg could not make the testsrc clip";
    }
    std::shared_ptr<PatternDeviceLayer> Layer(std::vector<PatternFormat> formats) {
        PatternCamera camera;
        camera.file = camtest::PatternClip();
        camera.friendlyName = "Pattern";
        camera.devicePath = "pattern:0";
        camera.formats = std::move(formats);
        auto layer = std::make_shared<PatternDeviceLayer>(std::vector<PatternCamera>{camera});
        layer->SetSampleObserver([this](const MediaType& type, const uint8_t* data, int32_t length) {
            std::lock_guard<std::mutex> lock(m_tap.lock);
            m_tap.type = type;
            m_tap.raw.assign(data, data + length);
        });
        return layer;
    }
    RawTap m_tap;
};

}  // namespace

TEST_F(PatternCapture, StartBeforeConfigureAndUnknownDevice) {
    PairingSink sink(&m_tap);  // outlives the capture that feeds it
    VideoCaptureDS capture(Layer({Fmt(kSubtypeYUY2, 640, 480)}));
    EXPECT_FALSE(capture.StartCapture(&sink));
    EXPECT_FALSE(capture.SetCaptureDev("no-such-camera", 640, 480, 30, 1));
    EXPECT_FALSE(capture.StartCapture(&sink));
    EXPECT_EQ(0, sink.Count());
}

TEST_F(PatternCapture, EngineFormatsWithoutPluginTypeKeepTheStoredType) {
    camtest::LogCapture log;
    PairingSink sink(&m_tap);  // outlives the capture that feeds it
    VideoCaptureDS capture(Layer({Fmt(kSubtypeYUY2, 640, 480)}));
    ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 640, 480, 30, 6));
    ASSERT_TRUE(capture.StartCapture(&sink));
    CameraCapability settings;
    capture.GetCaptureSettings(settings);
    EXPECT_EQ(kCameraUnknown, settings.pixelType);
    EXPECT_TRUE(log.Has("SetCaptureDev 640x480, fps 30"));
    capture.StopCapture();

    VideoCaptureDS second(Layer({Fmt(kSubtypeYUY2, 640, 480)}));
    ASSERT_TRUE(second.SetCaptureDev("pattern:0", 640, 480, 30, 4));
    ASSERT_TRUE(second.SetCaptureDev("pattern:0", 640, 480, 30, 13));
    ASSERT_TRUE(second.StartCapture(&sink));
    second.GetCaptureSettings(settings);
    EXPECT_EQ(kCameraYUY2, settings.pixelType);
}

TEST_F(PatternCapture, Rgb565AndIyuvRefusedAtConnection) {
    for (uint32_t subtype : {kSubtypeRGB565, kSubtypeIYUV}) {
        camtest::LogCapture log;
        PairingSink sink(&m_tap);  // outlives the capture that feeds it
        VideoCaptureDS capture(Layer({Fmt(subtype, 320, 240)}));
        ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 320, 240, 30, 1));
        EXPECT_FALSE(capture.StartCapture(&sink));
        EXPECT_TRUE(log.Has("Failed to connect the Capture graph " +
                            std::to_string(static_cast<int>(kVFW_E_NO_ACCEPTABLE_TYPES))));
        EXPECT_EQ(0, sink.Count());
    }
}

struct Conversion {
    uint32_t subtype;
    int height;  // RGB24: positive = bottom-up
    uint32_t fourcc;
    int engineFormat;
};

class PatternConversion : public PatternCapture, public ::testing::WithParamInterface<Conversion> {};

TEST_P(PatternConversion, DeliversWhatLibyuvMakesOfTheSameFrame) {
    const Conversion c = GetParam();
    PairingSink sink(&m_tap);  // outlives the capture that feeds it
    VideoCaptureDS capture(Layer({Fmt(kSubtypeMJPG, 1280, 720), Fmt(c.subtype, 640, c.height)}));
    ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 640, 480, 30, c.engineFormat));
    ASSERT_TRUE(capture.StartCapture(&sink));
    ASSERT_TRUE(sink.WaitFor(3));
    capture.StopCapture();

    std::lock_guard<std::mutex> lock(sink.m_lock);
    EXPECT_EQ("capture_thread", sink.m_thread);
    EXPECT_EQ(1, sink.m_info.format);
    EXPECT_EQ(640, sink.m_info.width);
    EXPECT_EQ(480, sink.m_info.height);
    EXPECT_EQ(1, sink.m_info.flag1);
    EXPECT_EQ(1, sink.m_info.flag2);
    ASSERT_EQ(460800u, sink.m_bytes.size());
    ASSERT_FALSE(sink.m_raw.empty());
    EXPECT_EQ(c.subtype, sink.m_rawType.subtype);
    if (c.fourcc == 0) {
        EXPECT_EQ(sink.m_raw, sink.m_bytes);
    } else {
        // The frame path turns a bottom-up image (positive height) upright: libyuv is asked
        // with the negative height.
        const int h = c.subtype == kSubtypeRGB24 && c.height > 0 ? -480 : 480;
        EXPECT_EQ(ReferenceI420(sink.m_raw.data(), sink.m_raw.size(), 640, h, c.fourcc), sink.m_bytes);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PatternConversion,
    ::testing::Values(Conversion{kSubtypeYUY2, 480, libyuv::FOURCC_YUY2, 4},
                      Conversion{kSubtypeUYVY, 480, libyuv::FOURCC_UYVY, 5},
                      Conversion{kSubtypeHDYC, 480, libyuv::FOURCC_UYVY, 5},
                      Conversion{kSubtypeMJPG, 480, libyuv::FOURCC_MJPG, 12},
                      Conversion{kSubtypeRGB24, 480, libyuv::FOURCC_24BG, 10},
                      Conversion{kSubtypeRGB24, -480, libyuv::FOURCC_24BG, 10},
                      Conversion{kSubtypeI420, 480, 0, 1}));

namespace {
double MeanAbsDiff(const uint8_t* a, const uint8_t* b, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
    return sum / static_cast<double>(n);
}
}  // namespace

TEST_F(PatternCapture, BottomUpRgb24ArrivesUpright) {
    auto grab = [this](uint32_t subtype, int engineFormat) {
        PairingSink sink(&m_tap);  // outlives the capture that feeds it
        VideoCaptureDS capture(Layer({Fmt(subtype, 640, 480)}));
        EXPECT_TRUE(capture.SetCaptureDev("pattern:0", 640, 480, 30, engineFormat));
        EXPECT_TRUE(capture.StartCapture(&sink));
        EXPECT_TRUE(sink.WaitFor(1));
        capture.StopCapture();
        std::lock_guard<std::mutex> lock(sink.m_lock);
        EXPECT_EQ(480, sink.m_info.height);
        return sink.m_bytes;
    };
    const std::vector<uint8_t> upright = grab(kSubtypeI420, 1);
    const std::vector<uint8_t> fromRgb = grab(kSubtypeRGB24, 10);
    ASSERT_EQ(460800u, upright.size());
    ASSERT_EQ(460800u, fromRgb.size());
    // Same picture (up to the RGB round trip), not its mirror image.
    const double same = MeanAbsDiff(upright.data(), fromRgb.data(), 640 * 480);
    EXPECT_LT(same, 4.0);
    std::vector<uint8_t> flipped(640 * 480);
    for (int row = 0; row < 480; ++row)
        std::memcpy(&flipped[static_cast<size_t>(row) * 640], &upright[static_cast<size_t>(479 - row) * 640], 640);
    const double mirrored = MeanAbsDiff(flipped.data(), fromRgb.data(), 640 * 480);
    EXPECT_GT(mirrored, 10.0);
    EXPECT_GT(mirrored, 5 * same);
}

TEST_F(PatternCapture, StopThenStartRunsAgainWithoutReconnecting) {
    camtest::LogCapture log;
    PairingSink sink(&m_tap);  // outlives the capture that feeds it
    VideoCaptureDS capture(Layer({Fmt(kSubtypeYUY2, 320, 240, 60)}));
    ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 320, 240, 30, 4));
    ASSERT_TRUE(capture.StartCapture(&sink));
    ASSERT_TRUE(sink.WaitFor(2));
    EXPECT_FALSE(capture.StopCapture());
    EXPECT_FALSE(capture.IsCaptureStarted());
    const int stopped = sink.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(stopped, sink.Count());  // delivery ended with the stop

    const size_t configured = log.Count("Best camera format:");
    EXPECT_EQ(1u, configured);
    ASSERT_TRUE(capture.StartCapture(&sink));
    ASSERT_TRUE(sink.WaitFor(stopped + 2));
    EXPECT_EQ(configured, log.Count("Best camera format:"));
    EXPECT_TRUE(log.Has("CaptureStarted 2"));

    // The request rate (30) caps the chosen format's 60 in the offered type.
    EXPECT_EQ(30, capture.SinkFilter()->GetPin(0)->RequestedFormat().maxFps);
    // A changed request reconfigures.
    ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 320, 240, 15, 4));
    ASSERT_TRUE(capture.StartCapture(&sink));
    EXPECT_EQ(configured + 1, log.Count("Best camera format:"));
    EXPECT_EQ(15, capture.SinkFilter()->GetPin(0)->RequestedFormat().maxFps);
}

TEST_F(PatternCapture, DvCameraNeedsADecoderThatNoLayerHas) {
    camtest::LogCapture log;
    PairingSink sink(&m_tap);  // outlives the capture that feeds it
    VideoCaptureDS capture(Layer({Fmt(kSubtypeDVSD, 720, 480)}));
    ASSERT_TRUE(capture.SetCaptureDev("pattern:0", 720, 480, 30, 4));
    EXPECT_FALSE(capture.StartCapture(&sink));
    EXPECT_TRUE(log.Has("Failed to create the dv decoder: 80040154"));
    EXPECT_TRUE(log.Has("Failed to connect the Capture graph"));
}
