// RTMP streaming: the manager of outgoing (publish) and incoming (play) RTMP streams.
//
// Binary contract: slots are only ever appended, never reordered or changed, and the library
// calls a host only through the interfaces the host registered (callbacks are opt-in).
//
// One manager per process, made by CreateRtmpMgr and ended by DestroyRtmpMgr. Streams are
// named by ids the manager hands out (publish ids from 1000, play ids from 10000); the
// manager owns every stream object, callers hold only ids.
//
// Threads:
// - CreateRtmpMgr / DestroyRtmpMgr: one controlling thread, never racing any other call.
// - Every IRtmpMgr operation may be called from any thread of the caller. Opening and closing
//   (OpenPublishUrl, ClosePublish, OpenPlayUrl, ClosePlay) may run on one thread while frame
//   submission (PublishVideoRtmpData, PublishAudioRtmpData) runs on another: the registries
//   are guarded. ClosePublish waits for the stream's send thread to end (normally a few
//   milliseconds, at most about half a second when the server does not answer).
// - The reference returned by GetUniName stays valid until that id is closed.
// - ClosePlay waits for the player's receive thread to end (at once also when it is blocked
//   in a receive or a connect).
// - IRtmpMgrSink and IRtmpLinkSink are called on the streams' own threads (one send thread per publisher, one
//   receive thread per player), never on the caller's thread, and from several threads at
//   once: the sink must be thread-safe and must not call ClosePublish / ClosePlay /
//   DestroyRtmpMgr from inside a callback.
// - The library blocks SIGPIPE on its own threads and never changes signal dispositions.
//
// Nothing throws across this interface except the assertion for a null sink.
#pragma once

#include <string>

enum RTMP_RESULT {
    RTMP_PUBLISH_CONNECTED = 0,       // a publisher connected (after every successful connect)
    RTMP_PUBLISH_CONNECT_FAILED = 1,  // one connection attempt of a publisher failed
    RTMP_PUBLISH_FAILED = 2,          // publish failure; never reported by this library
    RTMP_PLAY_CONNECTED = 100,        // a player's network connection succeeded
    RTMP_PLAY_CONNECT_FAILED = 101,   // a player's URL or connection attempt failed
    RTMP_PLAY_FAILED = 102,           // play failure; never reported by this library
};

// How a publisher's link is doing, measured over the last second of sending. Fields are only
// ever appended.
struct RtmpLinkReport {
    int ackedKbps = 0;    // what the server acknowledged (TCP), kbit/s
    int audioKbps = 0;    // the audio in what was sent, kbit/s
    int queueMs = 0;      // age of the oldest message waiting in the publisher's queue (the highest seen)
    int unsentBytes = 0;  // bytes the kernel holds not yet sent
    int backlogMs = 0;    // the queue's age plus the unsent bytes at the acknowledged rate
    int droppedVideo = 0; // video frames dropped from the queue by key frames since the last report
    // The link carries less than is given: the backlog grows.
    bool congested = false;
    // The link keeps up: next to nothing waits.
    bool clear = false;
};

// Implemented by the caller; never deleted by the library. Results are ignored.
class __attribute__((visibility("default"))) IRtmpMgrSink {
public:
    // name: the last path segment of the stream's URL; info is always null, infoLen 0.
    virtual bool OnPublishEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) = 0;
    virtual bool OnPlayEvent(int id, std::string name, RTMP_RESULT result, char* info, int infoLen) = 0;
    // Received frames behind a 12-byte media header; data is valid only during the call.
    virtual bool OnPlayVideoData(int id, unsigned long long videoId, unsigned char* data, int len, bool keyFrame) = 0;
    virtual bool OnPlayAudioData(int id, unsigned long long audioId, unsigned char* data, int len) = 0;

protected:
    ~IRtmpMgrSink() = default;
};

// Link reports of connected publishers, for callers that follow them (registered with
// IRtmpMgr::SetLinkSink). Implemented by the caller; never deleted by the library.
class __attribute__((visibility("default"))) IRtmpLinkSink {
public:
    // A connected publisher's link, about four times a second.
    // url is the URL the publisher was opened with. Must be quick.
    virtual void OnPublishLink(int id, const std::string& url, const RtmpLinkReport& report) = 0;

protected:
    ~IRtmpLinkSink() = default;
};

class __attribute__((visibility("default"))) IRtmpMgr {
public:
    // Opens a publisher under id (taken from GetPublishId) and starts its send thread; the
    // connection result arrives later through OnPublishEvent. publishMode: 1 "record",
    // 2 "append", any other value "live". True once the stream is open (whether or not the
    // server answers); false for a null URL or an id that is already open.
    virtual bool OpenPublishUrl(int id, bool hasAudio, std::string uniName, const char* url, int publishMode) = 0;
    // As above with hasAudio false and uniName equal to the URL.
    virtual bool OpenPublishUrl(int id, const char* url, int publishMode) = 0;
    virtual int GetPublishId() = 0;
    // One H.264 access unit in Annex-B form (a key frame carries SPS, PPS and the IDR slices).
    // Copied before return. Frames given while the stream is not connected, is paused, or
    // before its first key frame are dropped. Returns 0.
    virtual int PublishVideoRtmpData(int id, unsigned char* data, int len, unsigned int timestamp, bool keyFrame) = 0;
    // audioType: 0 Speex, 1 AAC (raw frame, no ADTS header), 2 MP3. Returns 0.
    virtual int PublishAudioRtmpData(int id, int audioType, unsigned char* data, int len, unsigned int timestamp) = 0;
    // Video messages submitted minus those sent; 0 after every key frame (may go negative).
    virtual int OnSendVideoPacketCount(int id) = 0;
    // The AAC AudioSpecificConfig sent as the AAC sequence header after every connect.
    virtual void SetAACExtraData(int id, unsigned char* data, int len) = 0;
    virtual void PausePublish(int id) = 0;
    virtual void ContinuePublish(int id) = 0;
    // Ends the publisher: what is queued is still sent while the connection stands, for at
    // most 2 s (nothing more is taken meanwhile), then the send thread stops, the rest is
    // dropped (one log line says how much) and the connection is closed.
    virtual void ClosePublish(int id) = 0;
    virtual bool HasAudio(int id) = 0;
    virtual const std::string& GetUniName(int id) = 0;
    // True once a send failed because the connection's socket was gone; never reset.
    virtual bool GetSendDataTimeOut(int id) = 0;
    virtual int GetPlayId() = 0;
    // Opens a player under id (taken from GetPlayId) and starts its receive thread, which
    // connects (RTMP_PLAY_CONNECTED after the network connect, RTMP_PLAY_CONNECT_FAILED for
    // each failed attempt, retried every second) and delivers frames tagged with videoId /
    // audioId. False for a null URL or an id that is already open.
    virtual bool OpenPlayUrl(int id, unsigned long long videoId, unsigned long long audioId, const char* url) = 0;
    // Ends the player and waits for its receive thread (a blocked receive ends at once); no
    // frame of that id arrives after it returns.
    virtual void ClosePlay(int id) = 0;
    // All bits set for an id that is not open.
    virtual unsigned long long GetVideoId(int id) = 0;
    virtual unsigned long long GetAudioId(int id) = 0;
    // A null sink is a programming error (Poco assertion "lpSink").
    virtual void SetRtmpMgrSink(IRtmpMgrSink* sink) = 0;
    // Starts (sink) or stops (null) the link reports of every publisher. The sink must stay
    // valid until it is replaced or the manager is destroyed.
    virtual void SetLinkSink(IRtmpLinkSink* sink) { (void)sink; }

protected:
    ~IRtmpMgr() = default;
};

extern "C" {
// The process-wide manager: made on the first call and bound to sink; later calls return
// it unchanged and ignore their sink.
__attribute__((visibility("default"))) IRtmpMgr* CreateRtmpMgr(IRtmpMgrSink* sink);
// Closes every stream (publishers first) and ends the process-wide manager; the argument is
// not consulted. Without a manager it does nothing.
__attribute__((visibility("default"))) void DestroyRtmpMgr(IRtmpMgr* mgr);
}
