#include "sound_server.h"

namespace mediatap {
namespace audio {
namespace {

// Forwards every call to a connection that others use too.
class SharedSoundServer final : public ISoundServer {
public:
    explicit SharedSoundServer(std::shared_ptr<ISoundServer> server) : m_server(std::move(server)) {}

    bool Connected() override { return m_server->Connected(); }
    std::vector<SoundDevice> Sources() override { return m_server->Sources(); }
    std::vector<SoundDevice> Sinks() override { return m_server->Sinks(); }
    std::string DefaultSource() override { return m_server->DefaultSource(); }
    std::string DefaultSink() override { return m_server->DefaultSink(); }
    std::string MonitorOf(const std::string& sink) override { return m_server->MonitorOf(sink); }
    bool SetSourceVolume(const std::string& source, int percent) override {
        return m_server->SetSourceVolume(source, percent);
    }
    bool GetSourceVolume(const std::string& source, int* percent) override {
        return m_server->GetSourceVolume(source, percent);
    }
    bool SetSinkVolume(const std::string& sink, int percent) override { return m_server->SetSinkVolume(sink, percent); }
    bool GetSinkVolume(const std::string& sink, int* percent) override { return m_server->GetSinkVolume(sink, percent); }
    bool SetSourceMute(const std::string& source, bool mute) override { return m_server->SetSourceMute(source, mute); }
    bool GetSourceMute(const std::string& source, bool* mute) override { return m_server->GetSourceMute(source, mute); }
    std::unique_ptr<ICaptureStream> OpenCapture(const std::string& source, SampleFormat* format,
                                                CaptureCallback callback) override {
        return m_server->OpenCapture(source, format, std::move(callback));
    }
    std::unique_ptr<IPlaybackStream> OpenPlayback(const std::string& sink, SampleFormat format) override {
        return m_server->OpenPlayback(sink, format);
    }

private:
    const std::shared_ptr<ISoundServer> m_server;
};

}  // namespace

std::unique_ptr<ISoundServer> ShareSoundServer(std::shared_ptr<ISoundServer> server) {
    if (!server) return nullptr;
    return std::make_unique<SharedSoundServer>(std::move(server));
}

}  // namespace audio
}  // namespace mediatap
