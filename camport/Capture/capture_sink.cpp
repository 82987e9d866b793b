#include "Capture/capture_sink.h"

#include "Capture/camera_rules.h"

#include <libyuv/convert.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace Orvane {

using namespace camdev;

FrameAction ProcessCameraFrame(const CameraCapability& actual, const uint8_t* data, int32_t length,
                               Common::CDataPacket& packet, CameraCapability& delivered) {
    const uint32_t fourcc = camrules::ConversionFourcc(actual.pixelType);
    if (fourcc != 0) {
        const int w = actual.width;
        const int h = actual.height;
        const int absH = h < 0 ? -h : h;
        if (w > camrules::kMaxConvertedSide || absH > camrules::kMaxConvertedSide) return FrameAction::Dropped;
        const int64_t packed = camrules::PackedFrameBytes(actual.pixelType, w, h);
        // An uncompressed sample shorter than its format would be read past its end.
        const bool usable = w > 0 && absH > 0 && data && length > 0 && length >= packed;
        if (usable) {
            const camrules::I420Layout layout = camrules::I420LayoutFor(w, absH);
            if (packet.AssureSize(static_cast<int>(layout.size), true)) {
                uint8_t* y = packet.m_pBuffer;
                const int rc = libyuv::ConvertToI420(data, static_cast<size_t>(length), y, layout.strideY,
                                                     y + layout.uOffset, layout.strideUV, y + layout.vOffset,
                                                     layout.strideUV, 0, 0, w, h, w, absH, libyuv::kRotate0, fourcc);
                if (rc == 0) {
                    packet.m_nStart = 0;
                    packet.m_nEnd = static_cast<int>(layout.size);
                    delivered = actual;
                    delivered.height = absH;
                    delivered.pixelType = kCameraI420;
                    return FrameAction::Converted;
                }
            }
        }
    }
    if (!packet.Set(data, length > 0 && data ? length : 0)) packet.Clear();
    delivered = actual;
    return FrameAction::Passed;
}

// ---------------------------------------------------------------------------------------------
// CaptureInputPin

CaptureInputPin::CaptureInputPin(CaptureSinkFilter* filter) : m_pFilter(filter) {}

CameraCapability CaptureInputPin::RequestedFormat() const {
    std::lock_guard<std::mutex> lock(m_pFilter->m_filterLock);
    return m_requestedCapability;
}

CameraCapability CaptureInputPin::ActualFormat() const {
    std::lock_guard<std::mutex> lock(m_pFilter->m_receiveLock);
    return m_resultingCapability;
}

HResult CaptureInputPin::GetMediaType(int position, MediaType& out) const {
    if (position < 0) return kE_INVALIDARG;
    const CameraCapability req = RequestedFormat();
    out = MediaType();
    out.video = true;
    out.formatType = FormatType::VideoInfo;
    out.temporalCompression = false;
    out.headerSize = 40;
    out.planes = 1;
    out.width = req.width;
    out.height = req.height;
    // A requested rate of 0 leaves the interval 0 rather than dividing by it.
    out.avgTimePerFrame = req.maxFps > 0 ? static_cast<int32_t>(10000000 / req.maxFps) : 0;

    if (position == 0) {
        switch (req.pixelType) {
        case kCameraI420: position = 1; break;
        case kCameraYUY2: position = 2; break;
        case kCameraRGB24: position = 3; break;
        case kCameraUYVY: position = 4; break;
        case kCameraMJPEG: position = 5; break;
        default: return kVFW_S_NO_MORE_ITEMS;
        }
    }
    const int64_t pixels = static_cast<int64_t>(req.width) * req.height;
    switch (position) {
    case 1:
        out.subtype = kSubtypeI420;
        out.compression = kSubtypeI420;
        out.bitCount = 12;
        // Odd sides have chroma planes of the rounded-up half size (w * h * 3 / 2 when even).
        out.imageSize = static_cast<uint32_t>(camrules::I420LayoutFor(req.width, req.height).size);
        break;
    case 2:
        out.subtype = kSubtypeYUY2;
        out.compression = kSubtypeYUY2;
        out.bitCount = 16;
        out.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case 3:
        out.subtype = kSubtypeRGB24;
        out.compression = 0;
        out.bitCount = 24;
        out.imageSize = static_cast<uint32_t>(pixels * 3);
        break;
    case 4:
        out.subtype = kSubtypeUYVY;
        out.compression = kSubtypeUYVY;
        out.bitCount = 16;
        out.imageSize = static_cast<uint32_t>(pixels * 2);
        break;
    case 5:
        out.subtype = kSubtypeMJPG;
        out.compression = kSubtypeMJPG;
        out.bitCount = 12;
        out.imageSize = static_cast<uint32_t>(pixels * 3 / 2);
        break;
    default:
        return kVFW_S_NO_MORE_ITEMS;
    }
    return kS_OK;
}

HResult CaptureInputPin::CheckMediaType(const MediaType& type) {
    if (!type.video || !type.hasHeader ||
        (type.formatType != FormatType::VideoInfo && type.formatType != FormatType::VideoInfo2))
        return kE_INVALIDARG;
    const int32_t absHeight = type.height < 0 ? -type.height : type.height;
    CameraCapability actual;
    actual.width = type.width;
    actual.height = absHeight;
    if (type.subtype == kSubtypeMJPG && type.compression == kSubtypeMJPG) {
        actual.pixelType = kCameraMJPEG;
    } else if (type.subtype == kSubtypeI420 && type.compression == kSubtypeI420) {
        actual.pixelType = kCameraI420;
    } else if (type.subtype == kSubtypeYUY2 && type.compression == kSubtypeYUY2) {
        actual.pixelType = kCameraYUY2;
        if (type.formatType == FormatType::VideoInfo) std::this_thread::sleep_for(std::chrono::milliseconds(60));
    } else if ((type.subtype == kSubtypeUYVY && type.compression == kSubtypeUYVY) || type.subtype == kSubtypeHDYC) {
        actual.pixelType = kCameraUYVY;
    } else if (type.subtype == kSubtypeRGB24 && type.compression == 0) {
        actual.pixelType = kCameraRGB24;
        // A positive height is a bottom-up image: kept negative so it is turned upright.
        actual.height = type.height > 0 ? -type.height : absHeight;
    } else {
        return kE_INVALIDARG;
    }
    m_resultingCapability = actual;
    return kS_OK;
}

HResult CaptureInputPin::Receive(const Sample& sample) {
    if (!m_bThreadSeen) {
        PromoteStreamingThread("capture_thread");
        m_bThreadSeen = true;
        m_threadHandle = std::this_thread::get_id();
    }
    std::lock_guard<std::mutex> lock(m_pFilter->m_receiveLock);
    if (m_pFilter->GetState() == CaptureSinkFilter::State::Stopped) return kVFW_E_WRONG_STATE;
    if (sample.newType && CheckMediaType(*sample.newType) != kS_OK) return kVFW_E_INVALIDMEDIATYPE;
    if (!sample.data) return kS_FALSE;
    if (m_pFilter->GetState() == CaptureSinkFilter::State::Running) m_pFilter->ProcessSample(sample.data, sample.length);
    return kS_OK;
}

// ---------------------------------------------------------------------------------------------
// CaptureSinkFilter

CaptureSinkFilter::CaptureSinkFilter(VideoCaptureExternal* target) : m_inputPin(this), m_pTarget(target) {}

CaptureSinkFilter::~CaptureSinkFilter() { Stop(); }

HResult CaptureSinkFilter::Pause() {
    std::lock_guard<std::mutex> lock(m_filterLock);
    if (m_state == State::Stopped)
        m_state = m_inputPin.IsConnected() ? State::Paused : State::Running;
    else
        m_state = State::Paused;
    return kS_OK;
}

HResult CaptureSinkFilter::Run() {
    std::lock_guard<std::mutex> lock(m_filterLock);
    m_state = State::Running;
    return kS_OK;
}

HResult CaptureSinkFilter::Stop() {
    std::lock_guard<std::mutex> receive(m_receiveLock);
    std::lock_guard<std::mutex> lock(m_filterLock);
    m_state = State::Stopped;
    return kS_OK;
}

void CaptureSinkFilter::SetRequestedFormat(const CameraCapability& format) {
    std::lock_guard<std::mutex> receive(m_receiveLock);
    std::lock_guard<std::mutex> lock(m_filterLock);
    m_inputPin.m_requestedCapability = format;
    m_inputPin.m_resultingCapability = CameraCapability();
}

void CaptureSinkFilter::ProcessSample(const uint8_t* data, int32_t length) {
    CameraCapability delivered;
    const FrameAction action = ProcessCameraFrame(m_inputPin.m_resultingCapability, data, length, m_packet, delivered);
    if (action == FrameAction::Dropped || !m_pTarget) return;
    m_pTarget->DeliverFrame(&m_packet, &delivered, 0, 0);
}

}  // namespace Orvane
