// The module's functions as one script environment has them: its recording and publishing
// flows, and the queue its event texts wait in until the script polls.
//
// Each environment that loads the module has its own ModuleApi, a user of the process's
// endpoint (LiveMediaPlugin) from a successful initialize until uninitialize or the
// environment's end. Its queue holds the texts of its own publications and recordings only;
// what script objects or other environments start never reaches it.
//
// Threads: everything but the IEndpointUser event operations runs on the environment's script
// thread with the plug-in's call lock held. The event operations run on the endpoint's event
// thread and only append to the queue (which has a lock of its own).
#pragma once

#include "CaptureFlows.h"
#include "EventQueue.h"
#include "LiveMediaPlugin.h"

#include <atomic>
#include <string>

namespace streamaddon {

class ModuleApi final : public IEndpointUser {
public:
    explicit ModuleApi(LiveMediaPlugin& plugin);
    // As Unload.
    ~ModuleApi();
    ModuleApi(const ModuleApi&) = delete;
    ModuleApi& operator=(const ModuleApi&) = delete;

    // 1 when the endpoint is initialized for this environment afterwards, else 0. A second call
    // while initialized only opens the default speaker again. Texts are queued from here on,
    // whatever the outcome. Throws Poco::AssertionViolationException when no endpoint can be
    // created.
    int Initialize(bool enableLog);
    // Stops recording and publishing and leaves the endpoint (which ends when nobody else uses
    // it). Texts already queued stay queued; later ones are dropped.
    void Uninitialize();
    // The environment's end: as Uninitialize, and the queue is emptied.
    void Unload();

    // The module's functions may call the endpoint (initialize succeeded and no uninitialize
    // since).
    bool Ready();
    IStreamCore* Core() { return m_plugin.Core(); }
    CaptureFlows& Flows() { return m_flows; }
    EventQueue& Events() { return m_events; }

    // IEndpointUser
    void CloseForUnload() override;
    void OnStreamResult(bool play, int value, const std::string& url) override;
    void OnSourceEnded(const std::string& uniName, const std::string& why) override;
    void OnRecordFailed(int recordId, const std::string& file, const std::string& why) override;
    void OnOtherEvent(int eventId, int value) override;

private:
    // The flows' view of the endpoint: what they start is claimed for this environment.
    class EndpointCalls final : public ICaptureEndpoint {
    public:
        explicit EndpointCalls(ModuleApi& owner) : m_owner(owner) {}
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
        ModuleApi& m_owner;
    };

    void Queue(std::string text);
    // The flows take the sound mixer (counted once however many of their uses run).
    void HoldMixer();

    LiveMediaPlugin& m_plugin;
    bool m_bUser = false;
    bool m_bMixerHeld = false;
    std::atomic<bool> m_bQueueing{false};
    EventQueue m_events;
    EndpointCalls m_calls;
    CaptureFlows m_flows;
};

}  // namespace streamaddon
