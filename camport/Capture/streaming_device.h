// The part every device backend shares: the set format, the connection to a receiver and
// the streaming thread that pulls samples from the backend and hands them to the receiver.
//
// Threads: the ICaptureDevice calls from one control thread at a time; ReadSample and
// ReleaseSample run on the streaming thread; OpenStream and CloseStream on the control thread
// while no streaming thread runs.
#pragma once

#include "Capture/device_layer.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvane {
namespace camdev {

class StreamingCaptureDevice : public ICaptureDevice {
public:
    StreamingCaptureDevice() = default;
    ~StreamingCaptureDevice() override;

    bool HasOutputPin() override { return true; }
    bool IsExternalDevice() override { return false; }
    HResult GetNumberOfCapabilities(int& count) override;
    HResult GetStreamCaps(int index, MediaType& out) override;
    HResult SetFormat(const MediaType& type) override;
    HResult GetFormat(MediaType& out) override;
    bool QueryAccept(const MediaType& type) override;
    HResult Connect(ISampleReceiver* receiver, const MediaType& agreed) override;
    HResult Disconnect() override;
    bool IsConnected() override;
    HResult Run() override;
    HResult Pause() override;
    HResult Stop() override;

protected:
    // The formats the device lists (filled by the backend's constructor).
    std::vector<MediaType> m_formats;

    // Prepares streaming in the set format (m_current).
    virtual HResult OpenStream(const MediaType& type) = 0;
    // One sample: 1 with out filled, 0 when none is ready yet (called again), -1 when the
    // stream ended. Must return within about 100 ms so that stopping is prompt.
    virtual int ReadSample(Sample& out) = 0;
    // Gives back the sample of the last successful ReadSample.
    virtual void ReleaseSample() {}
    virtual void CloseStream() = 0;
    // Ends streaming and closes the stream; backends call it first in their destructors.
    void Shutdown();

    MediaType m_current;
    bool m_bFormatSet = false;

private:
    void StreamLoop();
    void JoinStream();

    ISampleReceiver* m_receiver = nullptr;
    MediaType m_agreed;
    bool m_bStreamOpen = false;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bEnded{false};  // the loop has returned by itself
};

}  // namespace camdev
}  // namespace Orvane
