// A host built against the three-slot event sink, as hosts were built before sinks grew opt-in
// companions: this file has its own copy of that declaration and never sees IStreamCore.h, so
// the object it makes is what an older host binary hands to SetSink.
#include "three_slot_host.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

class StreamCoreSink {
public:
    virtual void OnStreamCoreEvent(int eventId, int value) = 0;
    virtual void OnPublishResult(int value, const char* name) = 0;
    virtual void OnPlayResult(int value, const char* name) = 0;

protected:
    ~StreamCoreSink() = default;
};

namespace {

class Host final : public StreamCoreSink {
public:
    void OnStreamCoreEvent(int, int) override {}
    void OnPublishResult(int value, const char* name) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (value == 0) m_connected.push_back(name ? name : "");
    }
    void OnPlayResult(int, const char*) override {}
    bool Connected(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_lock);
        return std::find(m_connected.begin(), m_connected.end(), name) != m_connected.end();
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_connected;
};

}  // namespace

void* NewThreeSlotHost() { return static_cast<StreamCoreSink*>(new Host); }
void DeleteThreeSlotHost(void* host) { delete static_cast<Host*>(static_cast<StreamCoreSink*>(host)); }
bool ThreeSlotHostConnected(void* host, const char* name) {
    return static_cast<Host*>(static_cast<StreamCoreSink*>(host))->Connected(name);
}
