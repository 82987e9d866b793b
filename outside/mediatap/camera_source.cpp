#include "camera_source.h"

#include "common/slogger.h"
#include "mediakit/IVideoConvert.h"

#include <libyuv.h>

#include <cstring>

namespace mediatap {

bool CameraFrameMailbox::Put(int format, int width, int height, const uint8_t* data, size_t length) {
    if (!data || length == 0 || length > kMaxFrameBytes) return false;
    // The copy is made outside the lock; only the swap is inside.
    m_writing.format = format;
    m_writing.width = width;
    m_writing.height = height;
    m_writing.bytes.assign(data, data + length);
    Orvane::Common::MutexLock lock(m_lock);
    std::swap(m_writing, m_latest);
    m_fresh = true;
    return true;
}

bool CameraFrameMailbox::TakeIfNewer(CameraPicture* picture) {
    Orvane::Common::MutexLock lock(m_lock);
    if (!m_fresh) return false;
    std::swap(*picture, m_latest);
    m_fresh = false;
    return true;
}

namespace {

// Bytes a packed frame of this format needs, or 0 for a format read another way.
size_t PackedBytes(int format, int width, int height, uint32_t* fourcc) {
    const size_t evenWidth = static_cast<size_t>((width + 1) & ~1);
    switch (format) {
        case kEnginePixelYUY2:
            *fourcc = libyuv::FOURCC_YUY2;
            return evenWidth * 2 * height;
        case kEnginePixelUYVY:
            *fourcc = libyuv::FOURCC_UYVY;
            return evenWidth * 2 * height;
        case kEnginePixelRGB24:
            *fourcc = libyuv::FOURCC_24BG;
            return static_cast<size_t>(width) * 3 * height;
        default:
            return 0;
    }
}

}  // namespace

bool PlaceCameraPicture(const CameraPicture& picture, const Rect& fit, I420Frame* out, I420Frame* scratch) {
    const int w = picture.width;
    const int h = picture.height;
    // I420 needs even sizes: an odd camera size loses its last column or row.
    const int cropW = w & ~1;
    const int cropH = h & ~1;
    if (cropW < 2 || cropH < 2 || fit.Empty() || fit.x < 0 || fit.y < 0 || fit.x + fit.w > out->width ||
        fit.y + fit.h > out->height)
        return false;
    const uint8_t* bytes = picture.bytes.data();
    const size_t length = picture.bytes.size();

    uint8_t* dstY = out->Y() + static_cast<size_t>(fit.y) * out->StrideY() + fit.x;
    uint8_t* dstU = out->U() + static_cast<size_t>(fit.y / 2) * out->StrideUV() + fit.x / 2;
    uint8_t* dstV = out->V() + static_cast<size_t>(fit.y / 2) * out->StrideUV() + fit.x / 2;

    if (picture.format == kEnginePixelI420 || picture.format == kEnginePixelIYUV) {
        // The plug-in's plane layout: Y (stride w), then U and V of ceil(w / 2) x ceil(h / 2)
        // each, stride ceil(w / 2).
        const I420Planes planes = I420PlanesOf(w, h);
        if (length < planes.Total()) return false;
        return libyuv::I420Scale(bytes, w, bytes + planes.UOffset(), planes.strideUV, bytes + planes.VOffset(),
                                 planes.strideUV, cropW, cropH, dstY,
                                 out->StrideY(), dstU, out->StrideUV(), dstV, out->StrideUV(), fit.w, fit.h,
                                 libyuv::kFilterBilinear) == 0;
    }

    uint32_t fourcc = 0;
    if (picture.format == kEnginePixelMJPEG) {
        fourcc = libyuv::FOURCC_MJPG;  // the decoder checks the data and its size
    } else {
        const size_t need = PackedBytes(picture.format, w, h, &fourcc);
        if (need == 0 || length < need) return false;
    }
    const bool direct = fit.w == cropW && fit.h == cropH;
    if (!direct && (scratch->width != cropW || scratch->height != cropH)) scratch->Reset(cropW, cropH);
    uint8_t* y = direct ? dstY : scratch->Y();
    uint8_t* u = direct ? dstU : scratch->U();
    uint8_t* v = direct ? dstV : scratch->V();
    const int strideY = direct ? out->StrideY() : scratch->StrideY();
    const int strideUV = direct ? out->StrideUV() : scratch->StrideUV();
    if (libyuv::ConvertToI420(bytes, length, y, strideY, u, strideUV, v, strideUV, 0, 0, w, h, cropW, cropH,
                              libyuv::kRotate0, fourcc) != 0)
        return false;
    if (direct) return true;
    return libyuv::I420Scale(scratch->Y(), scratch->StrideY(), scratch->U(), scratch->StrideUV(), scratch->V(),
                             scratch->StrideUV(), cropW, cropH, dstY, out->StrideY(), dstU, out->StrideUV(), dstV,
                             out->StrideUV(), fit.w, fit.h, libyuv::kFilterBilinear) == 0;
}

int CameraFeed::OnCameraFrame(const Orvane::CapturedFrameInfo* info, Orvane::Common::CDataPacket* packet) {
    if (!info || !packet || !packet->Data() || packet->Length() <= 0) return 0;
    m_received.fetch_add(1);
    m_mailbox.Put(info->format, info->width, info->height, packet->Data(), static_cast<size_t>(packet->Length()));
    // The renderers only copy the frame: this thread never waits for drawing.
    if (m_preview) m_preview->Render(*info, packet->Data(), static_cast<int>(packet->Length()));
    return 0;
}

CameraDevice::~CameraDevice() {
    if (m_capture) {
        m_capture->StopCapture();
        // Joins the plug-in's streaming thread; the feed is released after it.
        m_api.destroyCapture(m_capture);
    }
}

std::unique_ptr<CameraDevice> CameraDevice::Open(const CamPortCaptureApi& api, const std::string& uniqueId, int width,
                                                 int height, int fps, std::string* error,
                                                 std::shared_ptr<PreviewWindows> preview) {
    if (!api.createCapture || !api.destroyCapture) {
        *error = "the camera plug-in is not loaded";
        return nullptr;
    }
    std::unique_ptr<CameraDevice> device(new CameraDevice());
    device->m_api = api;
    device->m_feed = std::make_shared<CameraFeed>(std::move(preview));
    device->m_capture = api.createCapture();
    if (!device->m_capture) {
        *error = "the camera plug-in could not create a capture";
        return nullptr;
    }
    if (!device->m_capture->SetCaptureDev(uniqueId.c_str(), width, height, fps, kEnginePixelI420)) {
        *error = "the camera cannot be opened";
        return nullptr;
    }
    if (!device->m_capture->StartCapture(device->m_feed.get())) {
        *error = "the camera does not start";
        return nullptr;
    }
    return device;
}

CameraProducer::CameraProducer(std::unique_ptr<CameraDevice> device, std::string description)
    : m_device(std::move(device)), m_feed(m_device->Feed()), m_description(std::move(description)) {}

CameraProducer::CameraProducer(std::shared_ptr<CameraFeed> feed, std::string description)
    : m_feed(std::move(feed)), m_description(std::move(description)) {}

CameraProducer::~CameraProducer() {
    // The camera stops before the feed it delivers to goes away.
    m_device.reset();
}

IVideoProducer::Result CameraProducer::Produce(I420Frame* out) {
    if (!m_feed->Mailbox().TakeIfNewer(&m_picture)) return Result::kRepeat;
    Rect fit = FitInside(m_picture.width & ~1, m_picture.height & ~1, out->width, out->height);
    if (!(fit == m_lastFit)) {
        out->Black();  // the bars change with a new frame size
        m_lastFit = fit;
    }
    if (!PlaceCameraPicture(m_picture, fit, out, &m_scratch)) {
        // Once, then every 100th time: this is the per-frame path.
        if (m_unreadable++ % 100 == 0)
            OV_LOG("camera %s: frame of format %d, %dx%d, %zu bytes cannot be read (%llu times)",
                   m_description.c_str(), m_picture.format, m_picture.width, m_picture.height,
                   m_picture.bytes.size(), static_cast<unsigned long long>(m_unreadable));
        return Result::kRepeat;
    }
    return Result::kFrame;
}

}  // namespace mediatap
