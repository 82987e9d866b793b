// A camera as a video source: the frames the camera plug-in delivers on its streaming thread
// are handed over to the encoding channel, newest first, and placed into the channel's
// output frame (converted to I420 when they are not, scaled to fit with black bars). Each
// frame also goes, as delivered, to the camera's preview windows.
//
// Threads: CameraFrameMailbox::Put and CameraFeed::OnCameraFrame on the plug-in's
// streaming thread ("capture_thread"), one call at a time; they never wait for the
// channel (a short lock around a buffer swap only). TakeIfNewer and CameraProducer::Produce
// on the channel's thread. CameraDevice is opened, started and destroyed on one controlling
// thread at a time.
#pragma once

#include "camport/IVideoCapture.h"
#include "common/thread_annotations.h"
#include "frame_geometry.h"
#include "i420_frame.h"
#include "video_producer.h"
#include "video_window.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mediatap {

// One camera frame as delivered: its engine pixel format, its size and its bytes.
struct CameraPicture {
    int format = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

// Hands frames from the camera's thread to the channel's thread. Only the latest frame is
// kept: a frame not taken before the next one arrives is replaced. Three buffers circulate
// (the writer's, the latest, the reader's), so memory stays bounded and, once they have
// grown to the frame size, nothing is allocated per frame.
class CameraFrameMailbox {
public:
    // Frames larger than this are refused (a 4096 x 4096 RGB24 frame is 48 MiB).
    static constexpr size_t kMaxFrameBytes = 64u << 20;
    // Copies the frame in; false (nothing kept) for an empty or oversized frame.
    bool Put(int format, int width, int height, const uint8_t* data, size_t length);
    // Swaps the latest frame into *picture when one arrived since the last take.
    bool TakeIfNewer(CameraPicture* picture);

private:
    CameraPicture m_writing;  // the writer's own buffer
    Orvane::Common::Mutex m_lock;
    CameraPicture m_latest OV_GUARDED_BY(m_lock);
    bool m_fresh OV_GUARDED_BY(m_lock) = false;
};

// Converts a camera frame into the rectangle fit of out (I420), scaling when the sizes
// differ. Reads I420 and IYUV (planes Y, U, V laid out as I420Frame's), YUY2, UYVY, RGB24
// (B, G, R, top-down) and MJPEG; odd sizes lose their last column or row. False, with
// out unchanged, for another format, a size below 2 x 2, too few bytes or an undecodable
// frame. scratch is working memory kept between calls.
bool PlaceCameraPicture(const CameraPicture& picture, const Rect& fit, I420Frame* out, I420Frame* scratch);

// The frame sink given to the plug-in; its frames go to a mailbox and to the preview windows.
class CameraFeed final : public Orvane::CameraFrameSink {
public:
    explicit CameraFeed(std::shared_ptr<PreviewWindows> preview = nullptr) : m_preview(std::move(preview)) {}
    int OnCameraFrame(const Orvane::CapturedFrameInfo* info, Orvane::Common::CDataPacket* packet) override;
    CameraFrameMailbox& Mailbox() { return m_mailbox; }
    uint64_t FramesReceived() const { return m_received.load(); }

private:
    CameraFrameMailbox m_mailbox;
    const std::shared_ptr<PreviewWindows> m_preview;
    std::atomic<uint64_t> m_received{0};
};

// The capture exports of the plug-in, bound by the loader.
struct CamPortCaptureApi {
    PFN_CreateWinVideoCapture createCapture = nullptr;
    PFN_DestroyWinVideoCapture destroyCapture = nullptr;
};

// One opened camera: the plug-in's capture object running into a feed. The capture object
// is destroyed (its streaming thread joined) before the feed it delivers to.
class CameraDevice {
public:
    ~CameraDevice();
    CameraDevice(const CameraDevice&) = delete;
    CameraDevice& operator=(const CameraDevice&) = delete;

    // Opens the camera with this unique id, asks for width x height at fps in I420 (the
    // plug-in picks its best matching format) and starts it; its frames also go to preview
    // when given. Null, with a reason, on failure.
    static std::unique_ptr<CameraDevice> Open(const CamPortCaptureApi& api, const std::string& uniqueId, int width,
                                              int height, int fps, std::string* error,
                                              std::shared_ptr<PreviewWindows> preview = nullptr);
    std::shared_ptr<CameraFeed> Feed() const { return m_feed; }

private:
    CameraDevice() = default;
    CamPortCaptureApi m_api;
    std::shared_ptr<CameraFeed> m_feed;
    Orvane::VideoCapturePlatform* m_capture = nullptr;
};

// Publishes the newest frame of a camera; black until the first one arrives, the previous
// picture again when no new frame came in time. Owns the camera, which stops with it.
class CameraProducer final : public IVideoProducer {
public:
    CameraProducer(std::unique_ptr<CameraDevice> device, std::string description);
    // A producer over a bare feed (no device), for tests of the frame path.
    CameraProducer(std::shared_ptr<CameraFeed> feed, std::string description);
    ~CameraProducer() override;
    Result Produce(I420Frame* out) override;
    std::string Describe() const override { return m_description; }

private:
    std::unique_ptr<CameraDevice> m_device;
    std::shared_ptr<CameraFeed> m_feed;
    std::string m_description;
    CameraPicture m_picture;
    I420Frame m_scratch;
    Rect m_lastFit;
    uint64_t m_unreadable = 0;
};

}  // namespace mediatap
