// The sink side of the capture graph: the filter the camera's output connects to, with its one
// input pin. The pin offers and accepts the media types the frame path can handle; each
// sample is converted to I420 (YUY2, UYVY, RGB24, MJPEG) or passed unchanged, and handed to
// the capture object.
//
// Threads: Receive runs on the device's streaming thread under the receive lock; the control
// calls (state changes, SetRequestedFormat, connection) come from the capture object's
// control thread. Lock order: receive lock, then filter lock.
#pragma once

#include "Capture/device_layer.h"
#include "camport/IVideoCapture.h"
#include "common/buffer.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

namespace Orvane {

class CaptureSinkFilter;

// What the frame path did with a sample.
enum class FrameAction { Converted, Dropped, Passed };

// The frame path: converts the sample in the actual format into packet (as I420, with the
// delivered format in delivered) or copies it unchanged. Dropped: oversized frames that would
// be converted. A sample shorter than its format needs, or one that does not decode, is passed.
FrameAction ProcessCameraFrame(const CameraCapability& actual, const uint8_t* data, int32_t length,
                               Common::CDataPacket& packet, CameraCapability& delivered);

class CaptureInputPin : public camdev::ISampleReceiver {
public:
    explicit CaptureInputPin(CaptureSinkFilter* filter);
    virtual ~CaptureInputPin() = default;

    static constexpr const char* kName = "VideoCapture";

    // The media type offered at position (0 = the requested type's own position); 
    // kVFW_S_NO_MORE_ITEMS past the list, kE_INVALIDARG for a negative position.
    camdev::HResult GetMediaType(int position, camdev::MediaType& out) const;
    // Accepts a type the frame path handles and makes it the actual format; kE_INVALIDARG
    // otherwise.
    camdev::HResult CheckMediaType(const camdev::MediaType& type);

    camdev::HResult Receive(const camdev::Sample& sample) override;

    // Connection bookkeeping (the graph connects and disconnects).
    void SetConnected(bool connected) { m_bConnected = connected; }
    bool IsConnected() const { return m_bConnected; }

    CameraCapability RequestedFormat() const;
    CameraCapability ActualFormat() const;

private:
    friend class CaptureSinkFilter;

    CaptureSinkFilter* m_pFilter;
    CameraCapability m_requestedCapability;  // guarded by the filter lock
    CameraCapability m_resultingCapability;  // guarded by the receive lock
    std::atomic<bool> m_bConnected{false};
    bool m_bThreadSeen = false;              // streaming thread only
    std::thread::id m_threadHandle;          // streaming thread only
};

class CaptureSinkFilter {
public:
    enum class State { Stopped, Paused, Running };

    // target: the capture object that gets the frames (not owned).
    explicit CaptureSinkFilter(VideoCaptureExternal* target);
    ~CaptureSinkFilter();
    CaptureSinkFilter(const CaptureSinkFilter&) = delete;
    CaptureSinkFilter& operator=(const CaptureSinkFilter&) = delete;

    static constexpr const char* kName = "SinkFilter";
    static constexpr const char* kClassId = "{88CDBBDC-A73B-4AFA-ACBF-15D5E2CE12C3}";

    int GetPinCount() const { return 1; }
    CaptureInputPin* GetPin(int n) { return n == 0 ? &m_inputPin : nullptr; }

    // Stopped → Paused when the pin is connected (Running when it is not); Running → Paused.
    camdev::HResult Pause();
    camdev::HResult Run();
    // Waits for a frame in progress, then Stopped.
    camdev::HResult Stop();
    State GetState() const { return m_state.load(); }

    // The pin's requested format, and its actual format reset, before a connection.
    void SetRequestedFormat(const CameraCapability& format);

private:
    friend class CaptureInputPin;
    // Frame path on the streaming thread, under the receive lock.
    void ProcessSample(const uint8_t* data, int32_t length);

    std::mutex m_filterLock;
    std::mutex m_receiveLock;
    CaptureInputPin m_inputPin;
    VideoCaptureExternal* m_pTarget;
    Common::CDataPacket m_packet;  // reused for every frame, receive lock
    std::atomic<State> m_state{State::Stopped};
};

}  // namespace Orvane
