#include "Capture/video_capture_windows.h"

#include "common/slogger.h"
#include "common/util.h"

#include <cstring>
#include <new>

namespace Orvane {

using namespace camdev;

namespace {
constexpr size_t kMaxDeviceIdLength = 1024;

bool SameCapability(const CameraCapability& a, const CameraCapability& b) {
    return a.width == b.width && a.height == b.height && a.maxFps == b.maxFps && a.pixelType == b.pixelType &&
           a.interlaced == b.interlaced && a.streamCapsIndex == b.streamCapsIndex &&
           a.frameRateControl == b.frameRateControl;
}

bool IsDvSubtype(uint32_t subtype) {
    return subtype == kSubtypeDVSL || subtype == kSubtypeDVSD || subtype == kSubtypeDVHD;
}
}  // namespace

// The graph of one capture: the camera's output, the sink filter's input and the run state
// of both. Connection negotiates the type: the sink's offered types first (those the camera
// can deliver), then the camera's own format; both sides must accept it.
// Threads: the capture object's control thread.
class CaptureGraph {
public:
    enum State { kStopped = 0, kPaused = 1, kRunning = 2 };

    CaptureGraph(ICaptureDevice* device, CaptureSinkFilter* sink) : m_device(device), m_sink(sink) {}

    HResult ConnectDirect() {
        CaptureInputPin* pin = m_sink->GetPin(0);
        if (m_device->IsConnected() || pin->IsConnected()) return kVFW_E_ALREADY_CONNECTED;
        for (int position = 0;; ++position) {
            MediaType offered;
            if (pin->GetMediaType(position, offered) != kS_OK) break;
            if (m_device->QueryAccept(offered) && pin->CheckMediaType(offered) == kS_OK) return Connect(offered);
        }
        MediaType own;
        if (Succeeded(m_device->GetFormat(own)) && pin->CheckMediaType(own) == kS_OK) return Connect(own);
        return kVFW_E_NO_ACCEPTABLE_TYPES;
    }

    HResult DisconnectOutput() { return m_device->Disconnect(); }
    HResult DisconnectInput() {
        CaptureInputPin* pin = m_sink->GetPin(0);
        if (!pin->IsConnected()) return kS_FALSE;
        pin->SetConnected(false);
        return kS_OK;
    }

    HResult Run() {
        if (m_state == kStopped) m_sink->Pause();
        m_sink->Run();
        const HResult hr = m_device->Run();
        if (!Succeeded(hr)) {
            m_sink->Pause();
            m_state = kPaused;
            return hr;
        }
        m_state = kRunning;
        return kS_OK;
    }
    HResult Pause() {
        m_sink->Pause();
        const HResult hr = m_device->Pause();
        m_state = kPaused;
        return hr;
    }
    HResult Stop() {
        m_sink->Stop();
        const HResult hr = m_device->Stop();
        m_state = kStopped;
        return hr;
    }
    HResult GetState(int& state) const {
        state = m_state;
        return kS_OK;
    }

private:
    HResult Connect(const MediaType& type) {
        const HResult hr = m_device->Connect(m_sink->GetPin(0), type);
        if (hr == kS_OK) m_sink->GetPin(0)->SetConnected(true);
        return hr;
    }

    ICaptureDevice* m_device;
    CaptureSinkFilter* m_sink;
    int m_state = kStopped;
};

VideoCaptureDS::VideoCaptureDS(std::shared_ptr<IDeviceLayer> layer) : m_deviceInfo(layer), m_layer(layer) {}

VideoCaptureDS::~VideoCaptureDS() { ReleaseGraph(); }

void VideoCaptureDS::ReleaseGraph() {
    // The camera is stopped first: its streaming thread calls into the sink filter.
    if (m_graph) m_graph->Stop();
    if (m_captureFilter) m_captureFilter->Disconnect();
    if (m_inputSendPin) m_inputSendPin->SetConnected(false);
    m_graph.reset();
    m_captureFilter.reset();
    m_sinkFilter.reset();
    m_inputSendPin = nullptr;
    m_bOutputCapturePin = false;
    m_bDvDecoder = false;
}

bool VideoCaptureDS::SetCaptureDev(const char* uniqueId, int width, int height, int fps, int format) {
    // Nothing may leave the plug-in as an exception.
    try {
        if (OpenDevice(0, uniqueId) != 0) return false;
        OV_LOG("SetCaptureDev %dx%d, fps %d", width, height, fps);
        m_requestWidth = width;
        m_requestHeight = height;
        m_requestFps = fps;
        const int32_t type = EngineFormatToCameraType(format);
        if (type >= 0) m_requestType = type;
        m_bConfigured = true;
        return true;
    } catch (...) {
        return false;
    }
}

bool VideoCaptureDS::StartCapture(CameraFrameSink* sink) {
    // Nothing may leave the plug-in as an exception.
    try {
        if (!m_bConfigured) return false;
        m_pSink.store(sink);
        CameraCapability requested;
        requested.width = m_requestWidth;
        requested.height = m_requestHeight;
        requested.maxFps = m_requestFps;
        requested.pixelType = m_requestType;
        requested.interlaced = false;
        return StartDevice(requested) == 0 && IsCaptureStarted();
    } catch (...) {
        return false;
    }
}

bool VideoCaptureDS::StopCapture() {
    // Nothing may leave the plug-in as an exception.
    try {
        StopDevice();
        return false;
    } catch (...) {
        return false;
    }
}

int VideoCaptureDS::DeliverFrame(Common::CDataPacket* packet, const CameraCapability* format, int, int) {
    CameraFrameSink* sink = m_pSink.load();
    if (!sink || !format) return 0;
    CapturedFrameInfo info;
    std::memset(&info, 0, sizeof(info));
    const int32_t engineFormat = CameraTypeToEngineFormat(format->pixelType);
    info.format = engineFormat < 0 ? 0 : engineFormat;
    info.width = static_cast<uint16_t>(format->width);
    info.height = static_cast<uint16_t>(format->height);
    info.flag1 = 1;
    info.flag2 = 1;
    info.timestamp = static_cast<uint32_t>(Common::ovGetTickCount());
    sink->OnCameraFrame(&info, packet);
    return 0;
}

int32_t VideoCaptureDS::OpenDevice(int, const char* uniqueId) {
    if (!uniqueId || std::strlen(uniqueId) > kMaxDeviceIdLength) return -1;
    // A second open replaces the graph of the first.
    ReleaseGraph();
    m_bConfigured = false;
    m_lastStartRequest = CameraCapability();
    m_deviceUniqueId = uniqueId;

    if (m_deviceInfo.CreateDeviceEnumerator() != 0) return -1;
    m_captureFilter = m_deviceInfo.GetDeviceFilter(uniqueId, nullptr, 0);
    if (!m_captureFilter) {
        OV_LOG("Failed to create capture filter.");
        return -1;
    }
    m_sinkFilter.reset(new (std::nothrow) CaptureSinkFilter(this));
    if (!m_sinkFilter) {
        OV_LOG("Failed to create send filter");
        return -1;
    }
    m_graph.reset(new (std::nothrow) CaptureGraph(m_captureFilter.get(), m_sinkFilter.get()));
    if (!m_graph) {
        OV_LOG("Failed to create graph builder.");
        return -1;
    }
    m_bOutputCapturePin = m_captureFilter->HasOutputPin();
    m_inputSendPin = m_sinkFilter->GetPin(0);
    return 0;
}

int32_t VideoCaptureDS::StartDevice(const CameraCapability& requested) {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (!m_graph) {
        OV_LOG("Failed to start the Capture device.");
        return -1;
    }
    if (!SameCapability(requested, m_lastStartRequest)) {
        DisconnectGraph();
        if (ConfigureCameraOutput(requested) != 0) return -1;
    }
    if (!Succeeded(m_graph->Run())) {
        OV_LOG("Failed to start the Capture device.");
        return -1;
    }
    return 0;
}

int32_t VideoCaptureDS::DisconnectGraph() {
    int state = CaptureGraph::kStopped;
    HResult hr = m_graph->GetState(state);
    if (hr == kS_OK && state != CaptureGraph::kStopped) hr = m_graph->Stop();
    const int64_t sum = static_cast<int64_t>(hr) + m_graph->DisconnectOutput() + m_graph->DisconnectInput();
    if (sum != 0) {
        OV_LOG("Failed to Stop the Capture device for reconfiguration %d", static_cast<int>(sum));
        return -1;
    }
    return 0;
}

int32_t VideoCaptureDS::ConfigureCameraOutput(const CameraCapability& requested) {
    m_lastStartRequest = requested;
    CameraCapability chosen;
    const int32_t index = m_deviceInfo.FindBestCapability(m_deviceUniqueId.c_str(), requested, chosen);
    if (index < 0) return -1;
    const int32_t rate = requested.maxFps < chosen.maxFps ? requested.maxFps : chosen.maxFps;
    chosen.maxFps = rate;

    CameraCapability stored;
    {
        Poco::Mutex::ScopedLock listLock(m_deviceInfo.ListMutex());
        if (!m_deviceInfo.GetStoredCapability(index, stored)) return -1;
    }
    m_sinkFilter->SetRequestedFormat(chosen);

    if (!m_bOutputCapturePin) {
        OV_LOG("Can't get the Capture format settings.");
        return -1;
    }
    MediaType type;
    HResult hr = m_captureFilter->GetStreamCaps(stored.streamCapsIndex, type);
    bool isDv = false;
    if (Succeeded(hr)) {
        if (rate > 0 && stored.frameRateControl)
            type.avgTimePerFrame = static_cast<int64_t>(10000000.0 / static_cast<double>(rate));
        hr = m_captureFilter->SetFormat(type);
        isDv = IsDvSubtype(type.subtype);
    }
    if (!Succeeded(hr)) return -1;

    hr = isDv ? ConnectDvDecoder() : m_graph->ConnectDirect();
    if (hr != kS_OK) {
        OV_LOG("Failed to connect the Capture graph %d", static_cast<int>(hr));
        return -1;
    }
    return 0;
}

HResult VideoCaptureDS::ConnectDvDecoder() {
    if (!m_bDvDecoder) {
        const HResult hr = m_layer ? m_layer->CreateDvDecoder() : kREGDB_E_CLASSNOTREG;
        if (!Succeeded(hr)) {
            OV_LOG("Failed to create the dv decoder: %x", static_cast<unsigned>(hr));
            return hr;
        }
        m_bDvDecoder = true;
    }
    // No device layer here decodes DV tape formats; a layer that did would be connected
    // between the camera and the sink at this point.
    OV_LOG("Failed to connect capture device to the dv devoder: %x", static_cast<unsigned>(kE_NOTIMPL));
    return kE_NOTIMPL;
}

int32_t VideoCaptureDS::StopDevice() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (!m_graph) return -1;
    const HResult hr = m_graph->Pause();
    if (!Succeeded(hr)) {
        OV_LOG("Failed to stop the capture graph. %d", static_cast<int>(hr));
        return -1;
    }
    return 0;
}

bool VideoCaptureDS::IsCaptureStarted() {
    Poco::Mutex::ScopedLock lock(m_mutex);
    if (!m_graph) return false;
    int state = CaptureGraph::kStopped;
    const HResult hr = m_graph->GetState(state);
    if (hr != kS_OK && hr != kVFW_S_CANT_CUE) OV_LOG("Failed to get the CaptureStarted status");
    OV_LOG("CaptureStarted %d", state);
    return state == CaptureGraph::kRunning;
}

int32_t VideoCaptureDS::GetCaptureSettings(CameraCapability& out) {
    out = m_lastStartRequest;
    return 0;
}

}  // namespace Orvane
