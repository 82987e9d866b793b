// The producers and the encoding channel against a grabber double and a recording sink.
#include "access_unit.h"
#include "h264_check.h"
#include "mediatap/IMediaTap.h"
#include "video_channel.h"
#include "video_producer.h"
#include "recording_sink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

using namespace mediatap;

namespace {

// A window of a given solid colour whose size the test changes; it can vanish.
class FakeGrabber final : public IWindowGrabber {
public:
    struct State {
        std::mutex lock;
        int width = 320, height = 240;
        uint8_t b = 0, g = 0, r = 255;
        bool gone = false;
        bool readable = true;
    };
    explicit FakeGrabber(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    GrabResult Grab(const Rect& rect, GrabbedImage* image) override {
        std::lock_guard<std::mutex> lock(m_state->lock);
        if (m_state->gone) return GrabResult::kGone;
        if (!m_state->readable) return GrabResult::kUnreadable;
        Rect r = ClipCaptureRect(rect, m_state->width, m_state->height);
        if (r.Empty()) return GrabResult::kUnreadable;
        m_pixels.resize(static_cast<size_t>(r.w) * r.h * 4);
        for (size_t i = 0; i < m_pixels.size(); i += 4) {
            m_pixels[i] = m_state->b;
            m_pixels[i + 1] = m_state->g;
            m_pixels[i + 2] = m_state->r;
            m_pixels[i + 3] = 255;
        }
        image->bgra = m_pixels.data();
        image->stride = r.w * 4;
        image->width = r.w;
        image->height = r.h;
        return GrabResult::kOk;
    }
    void Size(int* w, int* h) const override {
        std::lock_guard<std::mutex> lock(m_state->lock);
        *w = m_state->width;
        *h = m_state->height;
    }
    std::string Describe() const override { return "fake window"; }

private:
    std::shared_ptr<State> m_state;
    std::vector<uint8_t> m_pixels;
};

bool WaitFor(const std::function<bool()>& cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

uint8_t At(const I420Frame& f, int x, int y) { return f.Y()[y * f.width + x]; }

}  // namespace

TEST(WindowProducer, LetterboxesAndFollowsResizes) {
    auto state = std::make_shared<FakeGrabber::State>();
    WindowProducer producer(std::make_unique<FakeGrabber>(state), Rect{});
    I420Frame out;
    out.Reset(320, 240);
    ASSERT_EQ(producer.Produce(&out), IVideoProducer::Result::kFrame);
    EXPECT_NEAR(At(out, 5, 5), 82, 3);  // red in BT.601 limited range
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->width = 640;  // twice as wide: bars above and below
        state->height = 240;
    }
    ASSERT_EQ(producer.Produce(&out), IVideoProducer::Result::kFrame);
    EXPECT_EQ(At(out, 160, 10), 16);  // black bar
    EXPECT_NEAR(At(out, 160, 120), 82, 3);
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->readable = false;
    }
    EXPECT_EQ(producer.Produce(&out), IVideoProducer::Result::kRepeat);
    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->gone = true;
    }
    EXPECT_EQ(producer.Produce(&out), IVideoProducer::Result::kEnded);
}

// Converting only the changed rows must give exactly what converting everything gives, at
// the capture's own size and scaled either way.
TEST(PlaceChangedRows, MatchesAFullConversion) {
    const int w = 96, h = 90;
    std::vector<uint8_t> before(w * h * 4), after;
    uint32_t seed = 7;
    for (auto& b : before) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    for (const Rect& fit : {Rect{0, 0, 96, 90}, Rect{0, 0, 48, 44}, Rect{0, 2, 192, 180}}) {
        for (RowSpan band : {RowSpan{0, 1}, RowSpan{37, 38}, RowSpan{20, 61}, RowSpan{89, 90}}) {
            after = before;
            for (int y = band.top; y < band.bottom; ++y)
                for (int x = 0; x < w * 4; ++x) after[y * w * 4 + x] ^= 0x5A;
            GrabbedImage image{before.data(), w * 4, w, h};
            I420Frame partial, full;
            partial.Reset(192, 184);
            full.Reset(192, 184);
            std::vector<uint8_t> scratchA, scratchB;
            PlaceBgra(image, fit, &partial, &scratchA);
            image.bgra = after.data();
            image.changed = band;
            PlaceChangedRows(image, fit, &partial, &scratchA);
            PlaceBgra(image, fit, &full, &scratchB);
            EXPECT_TRUE(partial.pixels == full.pixels) << fit.w << "x" << fit.h << " rows " << band.top;
        }
    }
}

TEST(RowsWithPointer, ReadsWhereThePointerWasAndIsOnlyWhenNeeded) {
    const Rect spot{10, 20, 16, 16};
    EXPECT_TRUE(RowsWithPointer(RowSpan{}, spot, spot, false, 100).Empty());         // still
    EXPECT_EQ(RowsWithPointer(RowSpan{60, 70}, spot, spot, false, 100), (RowSpan{60, 70}));
    EXPECT_EQ(RowsWithPointer(RowSpan{}, spot, Rect{10, 50, 16, 16}, false, 100), (RowSpan{20, 66}));
    EXPECT_EQ(RowsWithPointer(RowSpan{}, spot, spot, true, 100), (RowSpan{20, 36}));  // new shape
    // A change under part of the pointer brings in all of its rows: it is drawn whole.
    EXPECT_EQ(RowsWithPointer(RowSpan{30, 31}, spot, spot, false, 100), (RowSpan{20, 36}));
    EXPECT_EQ(RowsWithPointer(RowSpan{}, spot, Rect{}, false, 30), (RowSpan{20, 30}));  // left
    const Rect drawn[2] = {{0, 0, 5, 5}, {40, 8, 10, 4}};
    EXPECT_EQ(DamagedRows(drawn, 2, Rect{30, 5, 50, 50}), (RowSpan{3, 7}));  // first is outside
}

TEST(PictureStore, ConvertsEachFormatAndRejectsBadPictures) {
    PictureStore store;
    const unsigned char rgb[3] = {10, 20, 30}, bgr[3] = {30, 20, 10};
    const unsigned char bgra[4] = {30, 20, 10, 0}, rgba[4] = {10, 20, 30, 0};
    const unsigned char* inputs[4] = {rgb, bgr, bgra, rgba};
    uint64_t version = 0;
    for (int format = kPictureRgb24; format <= kPictureRgba32; ++format) {
        ASSERT_TRUE(store.Set(inputs[format - 1], 1, 1, format)) << format;
        std::vector<uint8_t> out;
        int w, h;
        ASSERT_TRUE(store.TakeIfNewer(&version, &out, &w, &h));
        EXPECT_EQ(out[0], 30) << format;  // B
        EXPECT_EQ(out[1], 20) << format;
        EXPECT_EQ(out[2], 10) << format;  // R
        EXPECT_FALSE(store.TakeIfNewer(&version, &out, &w, &h));
    }
    EXPECT_FALSE(store.Set(nullptr, 1, 1, kPictureRgb24));
    EXPECT_FALSE(store.Set(rgb, 0, 1, kPictureRgb24));
    EXPECT_FALSE(store.Set(rgb, 1, 1, 0));
    EXPECT_FALSE(store.Set(rgb, 1, 1, 5));
    EXPECT_FALSE(store.Set(rgb, PictureStore::kMaxSide + 1, 1, kPictureRgb24));
}

class ChannelTest : public ::testing::Test {
protected:
    std::unique_ptr<VideoChannel> Make(int fps, std::shared_ptr<FakeGrabber::State> state) {
        ChannelSettings s;
        s.uniName = "#app#test";
        s.encoder = EncoderConfig{160, 120, fps, 200};
        s.sourceId = 42;
        auto channel = std::make_unique<VideoChannel>(
            s, std::make_unique<WindowProducer>(std::make_unique<FakeGrabber>(state), Rect{}), &m_sink);
        std::string error;
        EXPECT_TRUE(channel->Start(&error)) << error;
        return channel;
    }
    mediatap_test::RecordingSink m_sink;
};

TEST_F(ChannelTest, PacesFramesOnTheClockAndStampsThem) {
    auto state = std::make_shared<FakeGrabber::State>();
    auto channel = Make(10, state);
    ASSERT_TRUE(WaitFor([&] { return m_sink.Count() >= 1; }, 10000));
    auto first = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    std::vector<mediatap_test::RecordingSink::Frame> frames = m_sink.Frames();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
    channel->Stop();
    ASSERT_GE(frames.size(), 20u);
    // Three seconds of stream time hold 30 frames; and the stream keeps up with the wall clock
    // (loosely: the machine may be busy).
    int inWindow = 0;
    for (const auto& f : frames)
        if (f.timestamp - frames.front().timestamp < 3000) ++inWindow;
    EXPECT_NEAR(inWindow, 30, 1);
    EXPECT_NEAR(static_cast<double>(frames.size()), 1 + elapsed * 10, 4);
    for (size_t i = 1; i < frames.size(); ++i) {
        // Whole frame periods apart (more than one only where a late frame was skipped).
        EXPECT_EQ((frames[i].timestamp - frames[i - 1].timestamp) % 100, 0u);
        EXPECT_GT(frames[i].timestamp, frames[i - 1].timestamp);
        RtpHeader a, b;
        ASSERT_TRUE(ReadRtpHeader(frames[i - 1].data.data(), frames[i - 1].data.size(), &a));
        ASSERT_TRUE(ReadRtpHeader(frames[i].data.data(), frames[i].data.size(), &b));
        EXPECT_EQ(static_cast<uint16_t>(a.sequence + 1), b.sequence);
        EXPECT_EQ(b.timestamp90k, frames[i].timestamp * 90u);
        EXPECT_EQ(b.sourceId, 42u);
        EXPECT_EQ(frames[i].uniName, "#app#test");
    }
    EXPECT_TRUE(frames.front().key);
}

TEST_F(ChannelTest, ForcedKeyPauseResumeAndEnd) {
    auto state = std::make_shared<FakeGrabber::State>();
    auto channel = Make(20, state);
    ASSERT_TRUE(WaitFor([&] { return m_sink.Count() >= 5; }, 10000));
    size_t before = m_sink.Count();
    channel->ForceKeyFrame();
    ASSERT_TRUE(WaitFor([&] { return m_sink.Count() >= before + 3; }, 10000));
    // The first frame after the request is a key frame (allowing for one being encoded during
    // it and one delivered between counting and asking).
    std::vector<mediatap_test::RecordingSink::Frame> frames = m_sink.Frames();
    EXPECT_TRUE(frames[before].key || frames[before + 1].key || frames[before + 2].key);

    channel->SetEncoding(false);
    EXPECT_FALSE(channel->IsEncoding());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    size_t paused = m_sink.Count();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(m_sink.Count(), paused);
    channel->SetEncoding(true);
    ASSERT_TRUE(WaitFor([&] { return m_sink.Count() > paused; }, 10000));
    EXPECT_TRUE(m_sink.Frames()[paused].key) << "a resumed stream starts with a key frame";

    {
        std::lock_guard<std::mutex> lock(state->lock);
        state->gone = true;
    }
    ASSERT_TRUE(WaitFor([&] { return channel->Ended(); }, 10000));
    EXPECT_FALSE(channel->IsEncoding());
    channel->Stop();
}

TEST(H264Encoder, ANewBitrateTakesHoldWithoutAKeyFrameAndTheStreamDecodes) {
    const int kFps = 30;
    std::string error;
    auto encoder = H264Encoder::Create(EncoderConfig{320, 240, kFps, 2000}, &error);
    ASSERT_TRUE(encoder) << error;
    mediatap_test::Decoder decoder;
    I420Frame frame;
    frame.Reset(320, 240);
    // Fine noise drifting sideways, so that the rate control and not the picture decides the
    // size (and no scene cut makes a key frame of its own).
    std::vector<uint8_t> noise(frame.pixels.size() * 2);
    uint32_t seed = 1;
    for (uint8_t& b : noise) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    size_t bytesBefore = 0, bytesAfter = 0;
    int decoded = 0;
    // The new rate comes in mid-group (key frames fall every 60 pictures).
    for (int i = 0; i < 60; ++i) {
        std::copy(noise.begin() + 2 * i, noise.begin() + 2 * i + frame.pixels.size(), frame.pixels.begin());
        if (i == 30) encoder->SetBitrate(300);
        std::vector<uint8_t> au;
        bool key = false;
        ASSERT_TRUE(encoder->Encode(frame, i, false, &au, &key));
        ASSERT_FALSE(au.empty()) << "one access unit per picture, at " << i;
        EXPECT_EQ(key, i == 0) << "at " << i;
        mediatap_test::Picture picture;
        if (decoder.DecodeAnnexB(au.data(), au.size(), &picture)) ++decoded;
        if (i >= 5 && i < 30) bytesBefore += au.size();
        if (i >= 35) bytesAfter += au.size();
    }
    EXPECT_EQ(decoded, 60);
    // 300 of 2000 kbit/s: well under half per picture once the new rate holds.
    EXPECT_LT(bytesAfter * 2, bytesBefore) << bytesBefore / 25 << " then " << bytesAfter / 25 << " bytes a picture";
}
