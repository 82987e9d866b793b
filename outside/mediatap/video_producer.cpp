#include "video_producer.h"

#include <libyuv.h>

#include <algorithm>
#include <cstring>

namespace mediatap {

namespace {

// Why a window source ended: kGone or kLost.
const char* EndReasonOf(GrabResult r) {
    return r == GrabResult::kLost ? "the connection to the X display was lost" : "the window was closed";
}

// Converts rows [rows.top, rows.bottom) (even bounds, or the picture's end) of a fit-sized
// BGRA picture into out at fit.
void ToI420Rows(const uint8_t* src, int srcStride, const Rect& fit, RowSpan rows, I420Frame* out) {
    const int y0 = fit.y + rows.top;
    uint8_t* y = out->Y() + static_cast<size_t>(y0) * out->StrideY() + fit.x;
    uint8_t* u = out->U() + static_cast<size_t>(y0 / 2) * out->StrideUV() + fit.x / 2;
    uint8_t* v = out->V() + static_cast<size_t>(y0 / 2) * out->StrideUV() + fit.x / 2;
    libyuv::ARGBToI420(src + static_cast<size_t>(rows.top) * srcStride, srcStride, y, out->StrideY(), u,
                       out->StrideUV(), v, out->StrideUV(), fit.w, rows.bottom - rows.top);
}

}  // namespace

void PlaceBgra(const GrabbedImage& image, const Rect& fit, I420Frame* out, std::vector<uint8_t>* scratch) {
    GrabbedImage whole = image;
    whole.changed = RowSpan{0, image.height};
    PlaceChangedRows(whole, fit, out, scratch);
}

void PlaceChangedRows(const GrabbedImage& image, const Rect& fit, I420Frame* out, std::vector<uint8_t>* scratch) {
    if (fit.Empty() || !image.bgra) return;
    RowSpan rows = image.changed.Clip(image.height);
    if (rows.Empty()) return;
    if (image.width == fit.w && image.height == fit.h) {
        // 4:2:0 chroma pairs rows: start on an even row, end on one or at the bottom.
        rows.top &= ~1;
        rows.bottom = std::min(fit.h, (rows.bottom + 1) & ~1);
        ToI420Rows(image.bgra, image.stride, fit, rows, out);
        return;
    }
    scratch->resize(static_cast<size_t>(fit.w) * fit.h * 4);
    RowSpan scaled = ScaledRows(rows, image.height, fit.h);
    libyuv::ARGBScaleClip(image.bgra, image.stride, image.width, image.height, scratch->data(), fit.w * 4, fit.w,
                          fit.h, 0, scaled.top, fit.w, scaled.bottom - scaled.top, libyuv::kFilterBilinear);
    ToI420Rows(scratch->data(), fit.w * 4, fit, scaled, out);
}

bool WindowProducer::StillThere() {
    const GrabResult checked = m_grabber->Check();
    if (checked != GrabResult::kGone && checked != GrabResult::kLost) return true;
    m_endReason = EndReasonOf(checked);
    return false;
}

IVideoProducer::Result WindowProducer::Produce(I420Frame* out) {
    GrabbedImage image;
    const GrabResult grabbed = m_grabber->Grab(m_rect, &image);
    switch (grabbed) {
        case GrabResult::kGone:
        case GrabResult::kLost:
            m_endReason = EndReasonOf(grabbed);
            return Result::kEnded;
        case GrabResult::kUnreadable:
            return Result::kRepeat;
        case GrabResult::kSame:
            return Result::kSame;
        case GrabResult::kOk:
            break;
    }
    Rect fit = FitInside(image.width, image.height, out->width, out->height);
    if (!(fit == m_lastFit) || image.width != m_lastWidth || image.height != m_lastHeight) {
        out->Black();  // the bars move with a new aspect ratio
        m_lastFit = fit;
        m_lastWidth = image.width;
        m_lastHeight = image.height;
        image.changed = RowSpan{0, image.height};
    }
    PlaceChangedRows(image, fit, out, &m_scratch);
    return Result::kFrame;
}

int PictureBytesPerPixel(int format) {
    switch (format) {
        case kPictureRgb24:
        case kPictureBgr24:
            return 3;
        case kPictureBgra32:
        case kPictureRgba32:
            return 4;
        default:
            return 0;
    }
}

bool PictureStore::Set(const unsigned char* data, int width, int height, int format) {
    int bpp = PictureBytesPerPixel(format);
    if (!data || !bpp || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;
    std::vector<uint8_t> bgra(static_cast<size_t>(width) * height * 4);
    int srcStride = width * bpp;
    int dstStride = width * 4;
    // libyuv names formats by their order in a little-endian word: its "RGB24" is B,G,R in
    // memory, "RAW" is R,G,B, "ARGB" is B,G,R,A and "ABGR" is R,G,B,A.
    int rc = 0;
    switch (format) {
        case kPictureRgb24:
            rc = libyuv::RAWToARGB(data, srcStride, bgra.data(), dstStride, width, height);
            break;
        case kPictureBgr24:
            rc = libyuv::RGB24ToARGB(data, srcStride, bgra.data(), dstStride, width, height);
            break;
        case kPictureBgra32:
            std::memcpy(bgra.data(), data, bgra.size());
            break;
        case kPictureRgba32:
            rc = libyuv::ABGRToARGB(data, srcStride, bgra.data(), dstStride, width, height);
            break;
    }
    if (rc != 0) return false;
    Orvane::Common::MutexLock lock(m_lock);
    m_bgra.swap(bgra);
    m_width = width;
    m_height = height;
    ++m_version;
    return true;
}

bool PictureStore::TakeIfNewer(uint64_t* version, std::vector<uint8_t>* bgra, int* width, int* height) const {
    Orvane::Common::MutexLock lock(m_lock);
    if (m_version == *version) return false;
    *version = m_version;
    *bgra = m_bgra;
    *width = m_width;
    *height = m_height;
    return true;
}

IVideoProducer::Result PictureProducer::Produce(I420Frame* out) {
    if (!m_store->TakeIfNewer(&m_version, &m_bgra, &m_width, &m_height)) return Result::kRepeat;
    GrabbedImage image;
    image.bgra = m_bgra.data();
    image.stride = m_width * 4;
    image.width = m_width;
    image.height = m_height;
    out->Black();
    PlaceBgra(image, FitInside(m_width, m_height, out->width, out->height), out, &m_scratch);
    return Result::kFrame;
}

}  // namespace mediatap
