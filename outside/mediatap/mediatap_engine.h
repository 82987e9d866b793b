// The engine object behind IMediaTap. Its slots are spread over one source file per half:
// mediatap_video.cpp (application and picture sources, encoding), mediatap_camera.cpp
// (cameras and preview windows, through the camera plug-in), mediatap_audio.cpp (devices,
// mixer, tests) and mediatap_remote.cpp (remote play channels).
//
// Threads: every slot may be called from any thread; the source registry is guarded.
// Starting, stopping and re-configuring one source are serialised by that source's own lock.
// Sink calls come from the sources' threads. A sink callback may stop its own source: the
// channel is then retired and joined later, from another thread.
#pragma once

#include "camport_loader.h"
#include "common/id_table.h"
#include "mediatap/IMediaTap.h"
#include "video_channel.h"
#include "video_window.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mediatap {

// Limits shared by the video slots: uniName buffers callers pass in, frame sides, frame rates.
enum : int {
    kUniNameSize = 128,
    kMinSide = 16,
    kMaxSide = 4096,
    kMaxFps = 60,
};

class RemoteChannels;
class SpeakerChoice;
namespace audio {
class ISoundServer;
}
std::shared_ptr<SpeakerChoice> MakeSpeakerChoice();
std::shared_ptr<RemoteChannels> MakeRemoteChannels(
    std::shared_ptr<SpeakerChoice> speaker, std::function<std::shared_ptr<audio::ISoundServer>()> connection);

class CMediaTap;
// Ends the audio half of an engine (mixer and device tests stop; the sink is not called again).
void ReleaseAudioHalf(const CMediaTap* engine);
// The sound server connection of an engine's audio half (made with it on first use).
std::shared_ptr<audio::ISoundServer> SoundServerOf(const CMediaTap* engine, IMediaTapSink* sink);

// One local video source, named by its uniName. Application and camera sources keep the
// size they were started with; picture sources get theirs from StartEncodeVideo.
struct LocalVideoSource {
    enum class Kind { kApplication, kPicture, kCamera };
    Kind kind = Kind::kApplication;
    std::string uniName;
    uint32_t sourceId = 0;

    // The windows that show this source's frames (cameras and application captures).
    std::shared_ptr<PreviewWindows> preview = std::make_shared<PreviewWindows>();

    std::mutex lock;  // serialises the calls below for this source
    std::unique_ptr<VideoChannel> channel;
    // Picture sources: the latest picture and the size encoding uses (0 until first encoded).
    std::shared_ptr<PictureStore> picture;
    int width = 0;
    int height = 0;
};

class CMediaTap final : public IMediaTap {
public:
    // sinkFlags: the MEDIATAP_SINK_ values the sink offers.
    CMediaTap(IMediaTapSink* sink, int sinkFlags);
    ~CMediaTap();
    int SinkFlags() const { return m_nSinkFlags; }

    // Video half.
    int Reserved0() override { return -1; }
    int PrepareVideoPublish(const char* uniName) override;
    int StartEncodeVideo(const char* uniName, int width, int height) override;
    int StopEncodeVideo(const char* uniName) override;
    bool IsVideoEncoding(const char* uniName) override;
    int ForceKeyFrame(const char* uniName) override;
    int SetVideoBitrate(const char* uniName, int kbps) override;
    int GetVideoParamB(const char* uniName) override;
    int GetVideoParamA(const char* uniName) override;
    int Reserved15() override { return -1; }
    int Reserved16() override { return -1; }
    int Reserved17() override { return -1; }
    int Reserved18() override { return -1; }
    int StartCapturePicture(char* uniNameOut) override;
    int StopCapturePicture(const char* uniName) override;
    int SetCapturePicture(const char* uniName, const unsigned char* data, int width, int height,
                          int format) override;
    int StartCaptureApplication(char* uniNameOut, OvHwnd window, bool flag, int x, int y, int w, int h,
                                int bitrateKbps, int outWidth, int outHeight, int fps) override;
    int StopCaptureApplication(const char* uniName) override;
    int Reserved24() override { return -1; }
    int Reserved25() override { return -1; }
    int Reserved26() override { return -1; }
    int Reserved28() override { return -1; }
    int Reserved29() override { return -1; }
    int Reserved33() override { return -1; }
    int Reserved34() override { return -1; }
    int Reserved35() override { return -1; }
    int Reserved42() override { return -1; }
    int Reserved47() override { return -1; }

    // Cameras and preview windows. AddVideoWindow draws every frame of a camera or an
    // application capture into an X11 window (fitted) through the camera plug-in's renderer:
    // 0 also when the window shows the source already; -1 for an unknown source, a picture
    // source, no plug-in, window 0 or a window the X server does not have. RemoveVideoWindow:
    // -1 when the window did not show the source. RemoveAllVideoWindows: -1 only for an
    // unknown source. Closing a camera or stopping a capture removes its windows.
    int GetCameraCount() override;
    int GetCameraNames(int index, char* name, char* uniName) override;
    int OpenCamera(const char* uniName, int a, int b, int c) override;
    int CloseCamera(const char* uniName) override;
    int AddVideoWindow(const char* uniName, OvHwnd window) override;
    int RemoveVideoWindow(const char* uniName, OvHwnd window) override;
    int RemoveAllVideoWindows(const char* uniName) override;

    // Remote play channels. A video channel draws each decoded picture into its window
    // (0: nowhere); see RemoteChannels for the results. Remote audio plays to the speaker
    // OpenSpeaker chose last (the default sink before that).
    int CreateRemoteVideo(uint64_t* id, OvHwnd window) override;
    int CloseRemoteVideo(uint64_t id) override;
    int ChangeRemoteVideoWindow(uint64_t id, OvHwnd window) override;
    int PlayRemoteAudioData(uint64_t id, const unsigned char* data, int len) override;
    int CreateRemoteAudio(uint64_t* id) override;
    int CloseRemoteAudio(uint64_t id) override;
    int PlayRemoteVideoData(uint64_t id, const unsigned char* data, int len) override;

    // Audio half.
    int GetMicphoneCount() override;
    int GetMicphoneNames(int index, char* name, char* uniName) override;
    int GetSpeakerCount() override;
    int GetSpeakerNames(int index, char* name, char* uniName) override;
    int OpenMic(const char* uniName) override;
    int CloseMic() override;
    int OpenSpeaker(const char* uniName) override;
    int SetMicVolume(int volume) override;
    int GetMicVolume() override;
    int SetSpeakerVolume(int volume) override;
    int GetSpeakerVolume() override;
    int SetAgcStatus(bool on) override;
    int SetMuteStatus(bool mute) override;
    int GetMuteStatus(bool* mute) override;
    int StartEncodeMixer(const char* uniName, int a, int b, int c) override;
    int StopEncodeMixer(const char* uniName) override;
    int StartTestMic(const char* uniName) override;
    int StopTestMic() override;
    int StartTestSpeaker(const char* uniName, const char* filePath) override;
    int StopTestSpeaker() override;
    int GetTestMicLevel() override;
    int GetTestSpkLevel() override;

private:
    std::shared_ptr<LocalVideoSource> FindVideo(const char* uniName);
    std::shared_ptr<LocalVideoSource> TakeVideo(const char* uniName, LocalVideoSource::Kind kind);
    // Ends a channel taken out of its source: joined now, or kept until later when this is
    // the channel's own thread.
    void Retire(std::unique_ptr<VideoChannel> channel);
    // Takes a camera or application capture out of the table, ends its channel and removes its
    // preview windows; call names the entry point in the log line.
    int EndCapture(const char* uniName, LocalVideoSource::Kind kind, const char* call);
    // A name no other source of this engine has had, and the source id for its frames.
    std::string NewUniName(const char* prefix, OvHwnd window, uint32_t* sourceId);
    // The preview windows of a camera or application capture (null for other sources).
    std::shared_ptr<PreviewWindows> PreviewOf(const char* uniName);

    IMediaTapSink* m_lpSink;
    const int m_nSinkFlags;
    Orvane::Common::IdTable<std::string, std::shared_ptr<LocalVideoSource>> m_videoSources;
    std::mutex m_sourcesLock;  // guards m_nextSource and m_retired
    uint32_t m_nextSource = 0;
    uint32_t m_sourceIdBase;  // random, so two engines' streams have different source ids
    std::vector<std::unique_ptr<VideoChannel>> m_retired;  // guarded by m_sourcesLock
    CamPortLoader m_camPort;
    // The open speaker, which remote audio follows.
    std::shared_ptr<SpeakerChoice> m_speaker = MakeSpeakerChoice();
    std::shared_ptr<RemoteChannels> m_remote =
        MakeRemoteChannels(m_speaker, [this] { return SoundServerOf(this, m_lpSink); });
};

}  // namespace mediatap
