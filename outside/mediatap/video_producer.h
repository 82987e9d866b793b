// The sources of pictures that a video channel encodes: a window read from the window
// system, or a still picture given by the caller. Each fills the channel's output frame,
// scaled to fit with its aspect ratio kept and black bars around it.
// Threads: Produce is called by the channel's thread only; PictureStore::Set from any thread.
#pragma once

#include "frame_geometry.h"
#include "i420_frame.h"
#include "window_grabber.h"

#include "common/thread_annotations.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mediatap {

class IVideoProducer {
public:
    enum class Result {
        kFrame,   // out holds the picture due now
        kSame,    // the source did not change: out still holds its current picture
        kRepeat,  // nothing new could be read: out still holds the previous picture
        kEnded,   // the source is gone for good
    };
    virtual ~IVideoProducer() = default;
    virtual Result Produce(I420Frame* out) = 0;
    virtual std::string Describe() const = 0;
    // Without reading a picture: false when the source is known to be gone for good (as
    // kEnded would tell). For the times no picture is wanted; cheap enough for every frame.
    virtual bool StillThere() { return true; }
    // Why the source ended, once Produce or StillThere told so.
    virtual std::string EndReason() const { return "the source is gone"; }
};

// Converts a BGRA picture into out at rectangle fit (scaling when the sizes differ).
// scratch is working memory kept between calls.
void PlaceBgra(const GrabbedImage& image, const Rect& fit, I420Frame* out, std::vector<uint8_t>* scratch);
// The same for the rows image.changed only, where out (and scratch, when scaling) already
// hold the conversion of an earlier image of this size that differs only there.
void PlaceChangedRows(const GrabbedImage& image, const Rect& fit, I420Frame* out, std::vector<uint8_t>* scratch);

// Reads the capture rectangle of a window each frame, converting only what changed.
class WindowProducer final : public IVideoProducer {
public:
    WindowProducer(std::unique_ptr<IWindowGrabber> grabber, const Rect& captureRect)
        : m_grabber(std::move(grabber)), m_rect(captureRect) {}
    Result Produce(I420Frame* out) override;
    std::string Describe() const override { return m_grabber->Describe(); }
    bool StillThere() override;
    std::string EndReason() const override { return m_endReason; }

private:

    std::unique_ptr<IWindowGrabber> m_grabber;
    std::string m_endReason;
    Rect m_rect;
    Rect m_lastFit;
    int m_lastWidth = 0, m_lastHeight = 0;
    std::vector<uint8_t> m_scratch;
};

// Pixel layouts of pictures given to the engine (the format argument of SetCapturePicture).
enum PictureFormat : int {
    kPictureRgb24 = 1,  // 3 bytes a pixel: R, G, B
    kPictureBgr24 = 2,  // 3 bytes a pixel: B, G, R
    kPictureBgra32 = 3, // 4 bytes a pixel: B, G, R, A (alpha ignored)
    kPictureRgba32 = 4, // 4 bytes a pixel: R, G, B, A (alpha ignored)
};
// Bytes per pixel of a format; 0 for an unknown one.
int PictureBytesPerPixel(int format);

// The latest picture of a picture source, shared by the engine's callers and the channel.
class PictureStore {
public:
    enum { kMaxSide = 8192 };
    // Copies a width x height picture (rows top to bottom, no padding). False for bad
    // arguments (nothing changes then).
    bool Set(const unsigned char* data, int width, int height, int format);
    // Copies the latest picture into out when it changed since *version; false otherwise.
    bool TakeIfNewer(uint64_t* version, std::vector<uint8_t>* bgra, int* width, int* height) const;

private:
    mutable Orvane::Common::Mutex m_lock;
    std::vector<uint8_t> m_bgra OV_GUARDED_BY(m_lock);
    int m_width OV_GUARDED_BY(m_lock) = 0;
    int m_height OV_GUARDED_BY(m_lock) = 0;
    uint64_t m_version OV_GUARDED_BY(m_lock) = 0;
};

// Publishes the latest picture of a store; black until one is set.
class PictureProducer final : public IVideoProducer {
public:
    explicit PictureProducer(std::shared_ptr<const PictureStore> store) : m_store(std::move(store)) {}
    Result Produce(I420Frame* out) override;
    std::string Describe() const override { return "picture"; }

private:
    std::shared_ptr<const PictureStore> m_store;
    uint64_t m_version = 0;
    std::vector<uint8_t> m_bgra;
    int m_width = 0, m_height = 0;
    std::vector<uint8_t> m_scratch;
};

}  // namespace mediatap
