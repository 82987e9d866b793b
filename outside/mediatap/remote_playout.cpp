// The playout of remote audio channels on this system.
#include "remote_channel.h"

#include "common/slogger.h"

namespace mediatap {

namespace {

// No sound-server playback in this build: channels decode and drop their samples.
class NoPlayoutFactory : public IAudioPlayoutFactory {
public:
    std::unique_ptr<IAudioPlayout> Create() override {
        OV_LOG("RemoteAudio: no speaker playback available; decoded audio is dropped");
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<RemoteChannels> MakeRemoteChannels() {
    return std::make_shared<RemoteChannels>(std::unique_ptr<IAudioPlayoutFactory>(new NoPlayoutFactory));
}

}  // namespace mediatap
