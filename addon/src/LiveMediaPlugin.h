// The addon's one process-wide state: the endpoint it owns, the recording and publishing
// flows over it, and the sink that turns endpoint events into queued event texts.
//
// Threads: Initialize, Uninitialize, Unload, Ready, Core and Flows are called on the script
// thread only. The StreamCoreSink operations are called on the endpoint's event thread; they
// read only the event callback (atomic) and append to the event queue (locked).
#pragma once

#include "CaptureFlows.h"
#include "EventQueue.h"
#include "IStreamCore.h"

#include <atomic>
#include <string>

namespace streamaddon {

// The process-wide queue the event texts wait in until the script polls.
EventQueue& Events();

class LiveMediaPlugin final : public StreamCoreSink {
public:
    using EventCallback = void (*)(std::string text);

    LiveMediaPlugin();
    ~LiveMediaPlugin();
    LiveMediaPlugin(const LiveMediaPlugin&) = delete;
    LiveMediaPlugin& operator=(const LiveMediaPlugin&) = delete;

    // 1 when the endpoint is initialized afterwards, else 0. A second call while initialized
    // only opens the default speaker again. Throws Poco::AssertionViolationException when no
    // endpoint can be created.
    int Initialize(bool enableLog);
    // Stops recording and publishing, ends and destroys the endpoint. Events already queued
    // stay queued; later ones are dropped.
    void Uninitialize();
    // Module unload: as Uninitialize, and the event queue is emptied.
    void Unload();

    bool Ready() const { return m_bInitialized && m_lpStreamCore != nullptr; }
    IStreamCore* Core() { return m_lpStreamCore; }
    CaptureFlows& Flows() { return m_flows; }

    void OnStreamCoreEvent(int eventId, int value) override;
    void OnPublishResult(int value, const char* name) override;
    void OnPlayResult(int value, const char* name) override;

private:
    // The flows' view of the endpoint.
    class EndpointCalls final : public ICaptureEndpoint {
    public:
        explicit EndpointCalls(LiveMediaPlugin& owner) : m_owner(owner) {}
        uint64_t DesktopWindow() override;
        bool StartCapture(uint64_t window, int width, int height, int kbps, int fps, std::string* uniName) override;
        bool StopCapture(const std::string& uniName) override;
        bool StopMixer(const std::string& mixer) override;
        int StartRecord(const std::string& file, const std::string& video, const std::string& audio,
                        bool flag) override;
        bool StopRecord(int recordId) override;
        bool Publish(const std::string& url, const std::string& video, const std::string& audio, int mode) override;
        void StopPublish(const std::string& url) override;

    private:
        LiveMediaPlugin& m_owner;
    };

    void Deliver(std::string text);

    IStreamCore* m_lpStreamCore = nullptr;
    bool m_bInitialized = false;
    std::atomic<EventCallback> m_eventCallback{nullptr};
    EndpointCalls m_calls;
    CaptureFlows m_flows;
};

// The one state object of the process (never destroyed: the endpoint's threads may still
// report while the process exits).
LiveMediaPlugin& Plugin();

}  // namespace streamaddon
