// A host built against the four-slot IRtmpMgrSink, as hosts were built before link reports got
// an interface of their own: this file has its own copy of that declaration and never sees
// IRtmpMgr.h, so the object it makes is what an older host binary hands to CreateRtmpMgr.
#include "four_slot_host.h"

#include <atomic>
#include <string>

enum RTMP_RESULT { RTMP_PUBLISH_CONNECTED = 0 };

class __attribute__((visibility("default"))) IRtmpMgrSink {
public:
    virtual bool OnPublishEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) = 0;
    virtual bool OnPlayEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) = 0;
    virtual bool OnPlayVideoData(int id, unsigned long long videoId, unsigned char* data, int len, bool keyFrame) = 0;
    virtual bool OnPlayAudioData(int id, unsigned long long audioId, unsigned char* data, int len) = 0;

protected:
    ~IRtmpMgrSink() = default;
};

namespace {

class Host final : public IRtmpMgrSink {
public:
    bool OnPublishEvent(int, std::string, RTMP_RESULT result, char*, int) override {
        if (result == RTMP_PUBLISH_CONNECTED) ++connected;
        return true;
    }
    bool OnPlayEvent(int, std::string, RTMP_RESULT, char*, int) override { return true; }
    bool OnPlayVideoData(int, unsigned long long, unsigned char*, int, bool) override { return true; }
    bool OnPlayAudioData(int, unsigned long long, unsigned char*, int) override { return true; }
    std::atomic<int> connected{0};
};

}  // namespace

void* NewFourSlotHost() { return static_cast<IRtmpMgrSink*>(new Host); }
void DeleteFourSlotHost(void* host) { delete static_cast<Host*>(static_cast<IRtmpMgrSink*>(host)); }
int FourSlotHostConnects(void* host) { return static_cast<Host*>(static_cast<IRtmpMgrSink*>(host))->connected; }
