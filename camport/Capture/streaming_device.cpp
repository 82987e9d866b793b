#include "Capture/streaming_device.h"

#include "Capture/device_layer_pattern.h"
#include "Capture/device_layer_v4l2.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace Orvane {
namespace camdev {

StreamingCaptureDevice::~StreamingCaptureDevice() { JoinStream(); }

HResult StreamingCaptureDevice::GetNumberOfCapabilities(int& count) {
    count = static_cast<int>(m_formats.size());
    return kS_OK;
}

HResult StreamingCaptureDevice::GetStreamCaps(int index, MediaType& out) {
    if (index < 0 || index >= static_cast<int>(m_formats.size())) return kE_INVALIDARG;
    out = m_formats[static_cast<size_t>(index)];
    return kS_OK;
}

HResult StreamingCaptureDevice::SetFormat(const MediaType& type) {
    if (IsConnected()) return kVFW_E_ALREADY_CONNECTED;
    for (const MediaType& f : m_formats) {
        if (f.subtype == type.subtype && f.width == type.width && f.height == type.height &&
            f.formatType == type.formatType) {
            m_current = type;
            m_bFormatSet = true;
            return kS_OK;
        }
    }
    return kVFW_E_INVALIDMEDIATYPE;
}

HResult StreamingCaptureDevice::GetFormat(MediaType& out) {
    if (m_bFormatSet) {
        out = m_current;
        return kS_OK;
    }
    if (m_formats.empty()) return kE_FAIL;
    out = m_formats.front();
    return kS_OK;
}

bool StreamingCaptureDevice::QueryAccept(const MediaType& type) {
    MediaType own;
    if (!Succeeded(GetFormat(own))) return false;
    return type.video && type.subtype == own.subtype && type.width == own.width && type.height == own.height;
}

HResult StreamingCaptureDevice::Connect(ISampleReceiver* receiver, const MediaType& agreed) {
    if (!receiver) return kE_INVALIDARG;
    if (m_receiver) return kVFW_E_ALREADY_CONNECTED;
    if (!QueryAccept(agreed)) return kVFW_E_TYPE_NOT_ACCEPTED;
    if (!m_bFormatSet) {
        m_current = agreed;
        m_bFormatSet = true;
    }
    m_receiver = receiver;
    m_agreed = agreed;
    return kS_OK;
}

HResult StreamingCaptureDevice::Disconnect() {
    if (!m_receiver) return kS_FALSE;
    Stop();
    m_receiver = nullptr;
    return kS_OK;
}

bool StreamingCaptureDevice::IsConnected() { return m_receiver != nullptr; }

HResult StreamingCaptureDevice::Run() {
    if (!m_receiver) return kVFW_E_NOT_CONNECTED;
    if (m_thread.joinable()) {
        if (!m_bStop.load() && !m_bEnded.load()) return kS_OK;  // already streaming
        JoinStream();
    }
    if (!m_bStreamOpen) {
        const HResult hr = OpenStream(m_current);
        if (!Succeeded(hr)) return hr;
        m_bStreamOpen = true;
    }
    m_bStop = false;
    m_bEnded = false;
    try {
        m_thread = std::thread(&StreamingCaptureDevice::StreamLoop, this);
    } catch (...) {
        return kE_OUTOFMEMORY;
    }
    return kS_OK;
}

void StreamingCaptureDevice::JoinStream() {
    m_bStop = true;
    if (m_thread.joinable()) {
        // Stopping from the streaming thread itself (a receiver that stops the camera from
        // inside a frame) only asks it to end; a later call from elsewhere joins it.
        if (m_thread.get_id() == std::this_thread::get_id()) return;
        m_thread.join();
    }
}

HResult StreamingCaptureDevice::Pause() {
    JoinStream();
    return kS_OK;
}

HResult StreamingCaptureDevice::Stop() {
    JoinStream();
    if (m_bStreamOpen && !m_thread.joinable()) {
        CloseStream();
        m_bStreamOpen = false;
    }
    return kS_OK;
}

void StreamingCaptureDevice::Shutdown() {
    JoinStream();
    if (m_bStreamOpen) {
        CloseStream();
        m_bStreamOpen = false;
    }
}

void StreamingCaptureDevice::StreamLoop() {
    // Every streaming thread, not only the first one the sink sees, runs raised and named.
    PromoteStreamingThread("capture_thread");
    try {
        while (!m_bStop.load()) {
            Sample sample;
            const int got = ReadSample(sample);
            if (got < 0) break;
            if (got == 0) continue;
            const HResult hr = m_receiver->Receive(sample);
            ReleaseSample();
            if (!Succeeded(hr)) break;  // the receiver ended the stream
        }
    } catch (...) {
        // A failure inside a frame (memory, or the engine's sink) ends this stream only.
        ReleaseSample();
    }
    m_bEnded = true;
}

std::wstring SubtypeGuidText(uint32_t subtype) {
    wchar_t text[64];
    if (subtype == kSubtypeRGB24 || subtype == kSubtypeRGB565)
        std::swprintf(text, 64, L"{%08X-524F-11CE-9F53-0020AF0BA770}", subtype);
    else
        std::swprintf(text, 64, L"{%08X-0000-0010-8000-00AA00389B71}", subtype);
    return text;
}

void PromoteStreamingThread(const char* name) {
    pthread_setname_np(pthread_self(), name);
    // The highest priority a normal thread may take: the lowest nice value allowed.
    const pid_t tid = static_cast<pid_t>(syscall(SYS_gettid));
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) return;
    for (int nice = -20; nice < current; ++nice)
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0) break;
}

namespace {

// V4L2 cameras first, then the pattern cameras.
class DefaultDeviceLayer : public IDeviceLayer {
public:
    DefaultDeviceLayer() {
        m_v4l2 = CreateV4l2DeviceLayer();
        const char* list = std::getenv("CAMPORT_PATTERN_CAMERAS");
        if (list && *list) {
            std::vector<PatternCamera> cameras;
            if (ParsePatternCameras(list, cameras)) m_pattern = std::make_shared<PatternDeviceLayer>(cameras);
        }
    }

    HResult EnumerateVideoInputs(std::vector<std::unique_ptr<IDeviceMoniker>>& out) override {
        out.clear();
        std::vector<std::unique_ptr<IDeviceMoniker>> part;
        if (m_v4l2 && m_v4l2->EnumerateVideoInputs(part) == kS_OK)
            for (auto& m : part) out.push_back(std::move(m));
        part.clear();
        if (m_pattern && m_pattern->EnumerateVideoInputs(part) == kS_OK)
            for (auto& m : part) out.push_back(std::move(m));
        return out.empty() ? kS_FALSE : kS_OK;
    }

private:
    std::shared_ptr<IDeviceLayer> m_v4l2;
    std::shared_ptr<IDeviceLayer> m_pattern;
};

}  // namespace

std::shared_ptr<IDeviceLayer> CreateDefaultDeviceLayer() { return std::make_shared<DefaultDeviceLayer>(); }

}  // namespace camdev
}  // namespace Orvane
