// One camera capture: opens the device, configures it to the best match of the engine's
// request, connects it to the sink filter and runs it; frames reach the engine's sink on the
// streaming thread "capture_thread".
//
// Threads: SetCaptureDev must not run concurrently with any other call. StartCapture,
// StopCapture and the device calls below are serialised by the object's mutex.
// DeliverFrame runs on the streaming thread.
#pragma once

#include "Capture/capture_sink.h"
#include "Capture/device_info_windows.h"
#include "Capture/device_layer.h"
#include "camport/IVideoCapture.h"

#include <Poco/Mutex.h>

#include <atomic>
#include <memory>
#include <string>

namespace Orvane {

class CaptureGraph;

class VideoCaptureDS : public VideoCaptureExternal, public VideoCapturePlatform {
public:
    explicit VideoCaptureDS(std::shared_ptr<camdev::IDeviceLayer> layer);
    ~VideoCaptureDS() override;
    VideoCaptureDS(const VideoCaptureDS&) = delete;
    VideoCaptureDS& operator=(const VideoCaptureDS&) = delete;

    // VideoCapturePlatform
    bool SetCaptureDev(const char* uniqueId, int width, int height, int fps, int format) override;
    bool StartCapture(CameraFrameSink* sink) override;
    bool StopCapture() override;

    // VideoCaptureExternal
    int DeliverFrame(Common::CDataPacket* packet, const CameraCapability* format, int, int) override;
    int Reserved1(int, int, int) override { return 0; }

    // 0, or -1 when the device cannot be found or the graph not be built.
    virtual int32_t OpenDevice(int ignored, const char* uniqueId);
    // Reconfigures when requested differs from the format last started with, then runs.
    virtual int32_t StartDevice(const CameraCapability& requested);
    // Pauses the graph; frame delivery ends.
    virtual int32_t StopDevice();
    virtual bool IsCaptureStarted();
    virtual int32_t GetCaptureSettings(CameraCapability& out);

    // The sink filter (for inspection: its pin's requested and actual formats).
    CaptureSinkFilter* SinkFilter() const { return m_sinkFilter.get(); }
    DeviceInfoWindows& DeviceInfo() { return m_deviceInfo; }

private:
    int32_t ConfigureCameraOutput(const CameraCapability& requested);
    int32_t DisconnectGraph();
    camdev::HResult ConnectDvDecoder();
    void ReleaseGraph();

    // The exported side's request.
    int32_t m_requestWidth = 0;
    int32_t m_requestHeight = 0;
    int32_t m_requestFps = 0;
    int32_t m_requestType = kCameraUnknown;
    bool m_bConfigured = false;

    std::atomic<CameraFrameSink*> m_pSink{nullptr};
    DeviceInfoWindows m_deviceInfo;
    std::shared_ptr<camdev::IDeviceLayer> m_layer;

    std::unique_ptr<CaptureGraph> m_graph;
    std::unique_ptr<camdev::ICaptureDevice> m_captureFilter;
    std::unique_ptr<CaptureSinkFilter> m_sinkFilter;
    CaptureInputPin* m_inputSendPin = nullptr;
    bool m_bOutputCapturePin = false;
    bool m_bDvDecoder = false;

    std::string m_deviceUniqueId;
    CameraCapability m_lastStartRequest;  // the format last passed to StartDevice
    Poco::Mutex m_mutex;                  // StartDevice / StopDevice
};

}  // namespace Orvane
