// The media endpoint as its host (the script addon) sees it.
//
// Binary contract: slots are only ever appended, never reordered or changed, and the endpoint
// calls a host only through the interfaces the host registered (callbacks are opt-in).
//
// One endpoint per process, reached through CreateStreamCore / DestroyStreamCore. Strings are
// NUL-terminated; window handles travel as void* holding the native handle value (on X11 the
// window id); uniName is the capture engine's name of a local source and url an RTMP URL.
// Results are values: bool false = failure; int 0 = success, -1 = failure, or a count; ids -1 =
// none. Nothing throws out of these calls except the assertions for programming errors that
// Initialize names.
//
// Threads: every IStreamCore operation is called from the host's thread (one at a time).
// The sinks' operations are called on the endpoint's event thread "onevent".
// Neither interface has a virtual destructor: the endpoint is destroyed by DestroyStreamCore
// only, and the sink belongs to the host.
#pragma once

// Event ids. The list only grows at its end.
enum {
    STREAMCORE_EVENT_PUBLISH_RESULT = 6001,  // a publication connected (0) or failed (-1)
    STREAMCORE_EVENT_PLAY_RESULT = 6002,     // a playback connected (0) or failed (-1)
    // A published stream whose video bitrate the endpoint changed to fit its uplink
    // (delivered through IStreamCoreBitrateSink).
    STREAMCORE_EVENT_BITRATE = 6003,
    // A local source ended by itself (its window or display went away); it stays listed until
    // stopped (IStreamCoreDetailSink).
    STREAMCORE_EVENT_SOURCE_ENDED = 6004,
    // A recording ended on a failed write; its file keeps what was written (IStreamCoreDetailSink).
    STREAMCORE_EVENT_RECORD_FAILED = 6005,
};

class StreamCoreSink {
public:
    /* 0 */ virtual void OnStreamCoreEvent(int eventId, int value) = 0;
    // value 0: connected; -1: failed. name is the stream name (last path segment of the URL),
    // valid only during the call.
    /* 1 */ virtual void OnPublishResult(int value, const char* name) = 0;
    /* 2 */ virtual void OnPlayResult(int value, const char* name) = 0;

protected:
    ~StreamCoreSink() = default;
};

// Bitrate changes, for hosts that follow them (registered with IStreamCore::SetBitrateSink).
// The bitrate follows the uplink whether or not a host listens.
class IStreamCoreBitrateSink {
public:
    // The stream at url (valid only during the call) now publishes its video at kbps kbit/s.
    /* 0 */ virtual void OnBitrateChanged(int kbps, const char* url) = 0;

protected:
    ~IStreamCoreBitrateSink() = default;
};

// Events that name what they are about, for hosts that follow them (registered with
// IStreamCore::SetDetailSink); delivered besides the StreamCoreSink calls.
class IStreamCoreDetailSink {
public:
    // STREAMCORE_EVENT_PUBLISH_RESULT / _PLAY_RESULT: value 0 connected, -1 failed; subject the
    // stream's full URL. STREAMCORE_EVENT_SOURCE_ENDED: value 0; subject the source's uniName.
    // STREAMCORE_EVENT_RECORD_FAILED: value the record id; subject the file path. text: why, or
    // empty. Strings are valid only during the call.
    /* 0 */ virtual void OnStreamCoreDetail(int eventId, int value, const char* subject, const char* text) = 0;

protected:
    ~IStreamCoreDetailSink() = default;
};

class IStreamCore {
public:
    /* 0 */ virtual bool Initialize(void* reserved1, void* reserved2, void* reserved3, bool enableLog) = 0;
    /* 1 */ virtual bool UnInitialize() = 0;
    // sink may be null (stops delivery). Events dispatched while no sink is set are lost.
    /* 2 */ virtual void SetSink(StreamCoreSink* sink) = 0;
    /* 3 */ virtual int GetMicphoneCount() = 0;
    /* 4 */ virtual int GetSpeakerCount() = 0;
    // name and uniName: caller buffers of 128 bytes.
    /* 5 */ virtual bool GetMicphoneNames(int index, char* name, char* uniName) = 0;
    /* 6 */ virtual bool GetSpeakerNames(int index, char* name, char* uniName) = 0;
    /* 7 */ virtual bool OpenMic(const char* uniName) = 0;
    /* 8 */ virtual bool CloseMic() = 0;
    /* 9 */ virtual bool OpenSpeaker(const char* uniName) = 0;
    /* 10 */ virtual bool StartEncodeMixer(const char* uniName, int a, int b, int c) = 0;
    /* 11 */ virtual bool StopEncodeMixer(const char* uniName) = 0;
    /* 12 */ virtual bool PauseVideoEncode(const char* uniName) = 0;
    /* 13 */ virtual bool ContinueVideoEncode(const char* uniName) = 0;
    /* 14 */ virtual bool IsPublishPause(const char* uniName) = 0;
    /* 15 */ virtual int GetCameraCount() = 0;
    /* 16 */ virtual bool GetCameraNames(int index, char* name, char* uniName) = 0;
    /* 17 */ virtual bool OpenCamera(const char* uniName, void* window, int a, int b, int c) = 0;
    /* 18 */ virtual bool CloseCamera(const char* uniName) = 0;
    // uniNameOut: caller buffer of 128 bytes, filled with the new capture's uniName.
    /* 19 */ virtual bool StartCaptureApplication(void* reserved, bool flag, void* window, int a, int b,
                                                  int c, char* uniNameOut, int d) = 0;
    /* 20 */ virtual bool StopCaptureApplication(const char* uniName) = 0;
    // JSON text, valid until the next EnumWindowList.
    /* 21 */ virtual const char* EnumWindowList() = 0;
    /* 22 */ virtual bool PublishAudioStream(const char* url, const char* uniName, bool recordMode) = 0;
    /* 23 */ virtual bool PublishVideoStream(const char* url, const char* uniName, bool recordMode) = 0;
    /* 24 */ virtual bool PublishApplicationStream(const char* url, const char* uniName, bool recordMode) = 0;
    /* 25 */ virtual bool PublishPictureStream(const char* url, const char* uniName, bool recordMode) = 0;
    // publishMode: 0 live, 1 record, 2 append.
    /* 26 */ virtual bool PublishMixStream(const char* url, const char* videoUniName,
                                           const char* audioUniName, int publishMode) = 0;
    /* 27 */ virtual void StopPublish(const char* url) = 0;
    /* 28 */ virtual bool ForceKeyFrame(const char* url) = 0;
    /* 29 */ virtual bool PlayStream(const char* url, void* window) = 0;
    // The record id (1, 2, ...), or -1 on failure. The file has an audio track exactly when
    // audioUniName is not empty (that source is recorded); flag is kept with the recording
    // and chooses no track, so it can never drop the sound a recording names.
    /* 30 */ virtual int StartRecord(const char* filePath, const char* videoUniName,
                                     const char* audioUniName, bool flag) = 0;
    /* 31 */ virtual bool StopRecord(int recordId) = 0;
    /* 32 */ virtual bool StartCapturePicture(void* reserved, char* uniName) = 0;
    /* 33 */ virtual bool SetCapturePicture(const char* uniName, unsigned char* data, int a, int b) = 0;
    /* 34 */ virtual bool SetCapturePicture(const char* a, const char* b, int c, int d) = 0;
    /* 35 */ virtual bool StopCatpurePicture(const char* uniName) = 0;
    /* 36 */ virtual bool AddVideoWindows(const char* uniName, void* window) = 0;
    /* 37 */ virtual bool RemoveVideoWindows(const char* uniName, void* window) = 0;
    /* 38 */ virtual bool RemoveAllVideoWindows(const char* uniName) = 0;
    /* 39 */ virtual bool ChangeRemoteVideoWindows(const char* url, void* window) = 0;
    /* 40 */ virtual void SetMicVolume(int volume) = 0;
    /* 41 */ virtual int GetMicVolume() = 0;
    /* 42 */ virtual void SetSpeakerVolume(int volume) = 0;
    /* 43 */ virtual int GetSpeakerVolume() = 0;
    /* 44 */ virtual void SetAgcStatus(bool on) = 0;
    /* 45 */ virtual void SetMuteStatus(bool mute) = 0;
    /* 46 */ virtual bool GetMuteStatus() = 0;
    /* 47 */ virtual int StartTestMic(const char* uniName) = 0;
    /* 48 */ virtual int StopTestMic() = 0;
    /* 49 */ virtual int StartTestSpeaker(const char* uniName, const char* filePath) = 0;
    /* 50 */ virtual int StopTestSpeaker() = 0;
    /* 51 */ virtual int GetTestMicLevel() = 0;
    /* 52 */ virtual int GetTestSpkLevel() = 0;
    /* 53 */ virtual void StopPlay(const char* url) = 0;
    // Starts (sink) or stops (null) the delivery of bitrate changes. The sink must stay valid
    // until it is replaced or the endpoint is uninitialized.
    /* 54 */ virtual void SetBitrateSink(IStreamCoreBitrateSink* sink) { (void)sink; }
    // Starts (sink) or stops (null) the delivery of detailed events; as SetBitrateSink.
    /* 55 */ virtual void SetDetailSink(IStreamCoreDetailSink* sink) { (void)sink; }

protected:
    ~IStreamCore() = default;
};

#define STREAMCORE_API __attribute__((visibility("default")))

extern "C" {
// The process-wide endpoint, built on the first call (safe when several threads make the
// first call at once: they all get the same object).
STREAMCORE_API IStreamCore* CreateStreamCore();
// Destroys the endpoint (running UnInitialize first if needed) when p is not null; a later
// CreateStreamCore builds a new one.
STREAMCORE_API void DestroyStreamCore(IStreamCore* p);
}
