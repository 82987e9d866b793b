// IRecord over libavformat: one H.264 track and, when asked for, one AAC track.
//
// The file is created by Open, but its header can only be written once the codec
// configurations are known: the parameter sets of the first key frame (the video frames
// before it are dropped) and, with audio, the AudioSpecificConfig from SetAudioHeader. Video
// from the first key frame on is held until the audio configuration arrives, for at most
// flushSeconds (or kMaxHeldBytes); after that the configuration that Open's audio
// parameters describe stands in. Audio before the first key frame is dropped.
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "common/slogger.h"
#include "h264/decoder_config.h"
#include "record/IRecord.h"
#include "record_rules.h"

namespace record {

namespace {

const size_t kMaxHeldBytes = 64u << 20;
const int kMaxAudioConfig = 64;
const int kAacFrameSamples = 1024;
const AVRational kMillis = {1, 1000};

// Write results: 0 written (or held for writing), 1 dropped by rule, -1 failure.
enum { kWritten = 0, kDropped = 1, kFailed = -1 };

bool SetExtradata(AVCodecParameters* par, const std::vector<uint8_t>& bytes) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return false;
    std::memcpy(par->extradata, bytes.data(), bytes.size());
    par->extradata_size = static_cast<int>(bytes.size());
    return true;
}

std::string AvError(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, text, sizeof text);
    return text;
}

class CRecord final : public IRecord {
public:
    CRecord() = default;
    ~CRecord() { Close(); }
    CRecord(const CRecord&) = delete;
    CRecord& operator=(const CRecord&) = delete;

    bool Open(const std::string& filePath, int audioCodec, int videoWidth, int videoHeight, int frameRate,
              int sampleBits, int sampleRate, int channels, int flushSeconds, bool withAudio) override;
    int WriteAudio(int audioCodec, unsigned int timeMs, const unsigned char* data, int len) override;
    int WriteVideo(unsigned int timeMs, const unsigned char* data, int len, bool keyFrame) override;
    int SetAudioHeader(const unsigned char* header, int len) override;
    int Close() override;

private:
    struct HeldFrame {
        int64_t ts;
        std::vector<uint8_t> data;
        bool key;
    };

    bool StartFile();
    int WritePacket(AVStream* st, int64_t tsMs, const uint8_t* data, size_t size, bool key, int64_t durationMs);
    int StartWithHeldFrames();
    void Reset();

    std::mutex m_mutex;
    AVFormatContext* m_lpFormat = nullptr;
    AVStream* m_lpVideo = nullptr;
    AVStream* m_lpAudio = nullptr;
    std::string m_strPath;
    Container m_container = Container::kUnknown;
    int m_nWidth = 0, m_nHeight = 0, m_nFrameRate = 0, m_nSampleRate = 0, m_nChannels = 0, m_nFlushSeconds = 0;
    bool m_bWithAudio = false;
    bool m_bKeyFrameSeen = false;
    bool m_bHeaderWritten = false;
    bool m_bBroken = false;
    // Bytes of the file known to be on disk whole (the header and every packet written so far
    // without an error): a file whose write failed is cut back to them, so that it ends at a
    // whole packet, fragment or cluster.
    int64_t m_nGoodBytes = 0;
    std::vector<uint8_t> m_avcC, m_audioConfig;
    std::deque<HeldFrame> m_held;
    size_t m_heldBytes = 0;
    RecordClock m_clock;
    TrackTimeline m_videoLine, m_audioLine;
};

bool CRecord::Open(const std::string& filePath, int audioCodec, int videoWidth, int videoHeight, int frameRate,
                   int sampleBits, int sampleRate, int channels, int flushSeconds, bool withAudio) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_lpFormat) {
        OV_LOG("record: Open %s refused, already recording %s", filePath.c_str(), m_strPath.c_str());
        return false;
    }
    const Container container = ContainerForPath(filePath);
    if (container == Container::kUnknown) {
        OV_LOG("record: Open %s refused, unknown container", filePath.c_str());
        return false;
    }
    if (audioCodec != 2 || videoWidth < 0 || videoHeight < 0 || frameRate <= 0 || frameRate > 1000 ||
        sampleBits <= 0 || flushSeconds <= 0 || (withAudio && DefaultAacConfig(sampleRate, channels).empty())) {
        OV_LOG("record: Open %s refused, parameters %d %dx%d %d %d %d %d %d", filePath.c_str(), audioCodec, videoWidth,
               videoHeight, frameRate, sampleBits, sampleRate, channels, flushSeconds);
        return false;
    }
    AVFormatContext* fmt = nullptr;
    if (avformat_alloc_output_context2(&fmt, nullptr, MuxerName(container), filePath.c_str()) < 0 || !fmt) return false;
    // Opening the file is the last step that can fail, so a refused Open leaves no file.
    const int rc = avio_open(&fmt->pb, filePath.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        OV_LOG("record: Open %s failed: %s", filePath.c_str(), AvError(rc).c_str());
        avformat_free_context(fmt);
        return false;
    }
    Reset();
    m_lpFormat = fmt;
    m_strPath = filePath;
    m_container = container;
    m_nWidth = videoWidth;
    m_nHeight = videoHeight;
    m_nFrameRate = frameRate;
    m_nSampleRate = sampleRate;
    m_nChannels = channels;
    m_nFlushSeconds = flushSeconds;
    m_bWithAudio = withAudio;
    OV_LOG("record: Open %s %dx%d audio %d", filePath.c_str(), videoWidth, videoHeight, withAudio ? 1 : 0);
    return true;
}

void CRecord::Reset() {
    m_lpFormat = nullptr;
    m_lpVideo = m_lpAudio = nullptr;
    m_bKeyFrameSeen = m_bHeaderWritten = m_bBroken = false;
    m_nGoodBytes = 0;
    m_avcC.clear();
    m_audioConfig.clear();
    m_held.clear();
    m_heldBytes = 0;
    m_clock = RecordClock();
    m_videoLine = TrackTimeline();
    m_audioLine = TrackTimeline();
}

bool CRecord::StartFile() {
    AVStream* video = avformat_new_stream(m_lpFormat, nullptr);
    if (!video) return false;
    video->time_base = kMillis;
    video->avg_frame_rate = AVRational{m_nFrameRate, 1};
    AVCodecParameters* vp = video->codecpar;
    vp->codec_type = AVMEDIA_TYPE_VIDEO;
    vp->codec_id = AV_CODEC_ID_H264;
    vp->width = m_nWidth;
    vp->height = m_nHeight;
    vp->format = AV_PIX_FMT_YUV420P;
    if (!SetExtradata(vp, m_avcC)) return false;
    m_lpVideo = video;

    if (m_bWithAudio) {
        AVStream* audio = avformat_new_stream(m_lpFormat, nullptr);
        if (!audio) return false;
        audio->time_base = kMillis;
        AVCodecParameters* ap = audio->codecpar;
        ap->codec_type = AVMEDIA_TYPE_AUDIO;
        ap->codec_id = AV_CODEC_ID_AAC;
        ap->sample_rate = m_nSampleRate;
        av_channel_layout_default(&ap->ch_layout, m_nChannels);
        ap->frame_size = kAacFrameSamples;
        if (!SetExtradata(ap, m_audioConfig)) return false;
        m_lpAudio = audio;
    }

    // Every packet is handed to the file at once; what the container keeps in memory (the
    // fragment or cluster being built) is bounded by flushSeconds.
    m_lpFormat->flush_packets = 1;
    AVDictionary* opts = nullptr;
    const std::string flushMicros = std::to_string(static_cast<int64_t>(m_nFlushSeconds) * 1000000);
    if (m_container == Container::kMp4) {
        // Fragments that stand on their own: a file cut off after any of them plays.
        av_dict_set(&opts, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&opts, "frag_duration", flushMicros.c_str(), 0);
    } else if (m_container == Container::kMkv) {
        av_dict_set(&opts, "cluster_time_limit", std::to_string(m_nFlushSeconds * 1000).c_str(), 0);
    }
    const int rc = avformat_write_header(m_lpFormat, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
        OV_LOG("record: header of %s failed: %s", m_strPath.c_str(), AvError(rc).c_str());
        return false;
    }
    m_bHeaderWritten = true;
    if (m_lpFormat->pb && m_lpFormat->pb->error == 0) m_nGoodBytes = avio_tell(m_lpFormat->pb);
    return true;
}

int CRecord::WritePacket(AVStream* st, int64_t tsMs, const uint8_t* data, size_t size, bool key, int64_t durationMs) {
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) return kFailed;
    int rc = av_new_packet(pkt, static_cast<int>(size));
    if (rc == 0) {
        std::memcpy(pkt->data, data, size);
        pkt->pts = pkt->dts = tsMs;
        pkt->duration = durationMs;
        pkt->stream_index = st->index;
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        av_packet_rescale_ts(pkt, kMillis, st->time_base);
        rc = av_write_frame(m_lpFormat, pkt);
        // The muxer's output is buffered: a write that failed underneath (a full disk) shows
        // as the byte stream's error, not always in the result.
        if (rc >= 0 && m_lpFormat->pb && m_lpFormat->pb->error < 0) rc = m_lpFormat->pb->error;
        // Packets are flushed as they are written (flush_packets): what is told is on disk.
        if (rc >= 0 && m_lpFormat->pb) m_nGoodBytes = avio_tell(m_lpFormat->pb);
    }
    av_packet_free(&pkt);
    if (rc < 0) {
        OV_LOG("record: write to %s failed: %s", m_strPath.c_str(), AvError(rc).c_str());
        // Nothing more goes into a file that could not be written.
        m_bBroken = true;
        return kFailed;
    }
    return kWritten;
}

int CRecord::StartWithHeldFrames() {
    if (!StartFile()) {
        m_bBroken = true;
        m_held.clear();
        m_heldBytes = 0;
        return kFailed;
    }
    int result = kWritten;
    const int64_t frameMs = 1000 / m_nFrameRate;
    for (const HeldFrame& f : m_held)
        if (WritePacket(m_lpVideo, f.ts, f.data.data(), f.data.size(), f.key, frameMs) != kWritten) result = kFailed;
    m_held.clear();
    m_heldBytes = 0;
    return result;
}

int CRecord::WriteVideo(unsigned int timeMs, const unsigned char* data, int len, bool keyFrame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lpFormat || m_bBroken || !data || len <= 0) return kFailed;
    const std::vector<h264::NalUnit> nals = h264::SplitAnnexB(data, static_cast<size_t>(len));
    if (nals.empty()) return kFailed;
    if (!m_bKeyFrameSeen) {
        // The file starts with a key frame that carries its parameter sets.
        if (!keyFrame) return kDropped;
        std::vector<uint8_t> avcC = h264::BuildAvcC(nals);
        if (avcC.empty()) return kDropped;
        // The picture size in the stream is the one decoders will use; the file says the same.
        // Without a readable size there, the one given to Open stands, if one was given.
        h264::SpsInfo sps;
        const auto spsUnit =
            std::find_if(nals.begin(), nals.end(), [](const h264::NalUnit& n) { return n.type() == h264::kNalSps; });
        if (h264::ParseSps(*spsUnit, &sps)) {
            if (sps.width != m_nWidth || sps.height != m_nHeight)
                OV_LOG("record: %s frames are %dx%d, opened as %dx%d", m_strPath.c_str(), sps.width, sps.height,
                       m_nWidth, m_nHeight);
            m_nWidth = sps.width;
            m_nHeight = sps.height;
        } else if (m_nWidth == 0 || m_nHeight == 0) {
            return kDropped;
        }
        m_avcC.swap(avcC);
        m_bKeyFrameSeen = true;
    }
    // Access unit delimiters carry nothing once the units are framed by length.
    std::vector<h264::NalUnit> units;
    std::copy_if(nals.begin(), nals.end(), std::back_inserter(units),
                 [](const h264::NalUnit& n) { return n.type() != h264::kNalAud; });
    std::vector<uint8_t> payload;
    h264::AppendLengthPrefixed(units, 4, &payload);
    if (payload.empty()) return kDropped;  // delimiters only
    const int64_t ts = m_videoLine.Next(m_clock.Elapsed(timeMs));

    if (!m_bHeaderWritten) {
        m_heldBytes += payload.size();
        m_held.push_back(HeldFrame{ts, std::move(payload), keyFrame});
        if (m_bWithAudio && m_audioConfig.empty()) {
            if (ts - m_held.front().ts < static_cast<int64_t>(m_nFlushSeconds) * 1000 && m_heldBytes <= kMaxHeldBytes)
                return kWritten;
            m_audioConfig = DefaultAacConfig(m_nSampleRate, m_nChannels);
            OV_LOG("record: no audio header for %s, using the one of the Open parameters", m_strPath.c_str());
        }
        return StartWithHeldFrames();
    }
    return WritePacket(m_lpVideo, ts, payload.data(), payload.size(), keyFrame, 1000 / m_nFrameRate);
}

int CRecord::WriteAudio(int audioCodec, unsigned int timeMs, const unsigned char* data, int len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lpFormat || m_bBroken || audioCodec != 2 || !data || len <= 0) return kFailed;
    if (!m_bWithAudio) return kWritten;  // a video-only file: accepted and ignored
    if (!m_bKeyFrameSeen || m_audioConfig.empty()) return kDropped;
    // A frame that came with its ADTS header loses it in the muxer (libavformat inserts its
    // ADTS-to-raw filter by itself when a packet starts with the sync bits).
    if (!m_bHeaderWritten && StartWithHeldFrames() == kFailed && !m_bHeaderWritten) return kFailed;
    // Sound captured before the file's first picture has no place in it.
    const int64_t elapsed = m_clock.Elapsed(timeMs);
    if (elapsed < 0 && m_audioLine.empty()) return kDropped;
    const int64_t ts = m_audioLine.Next(elapsed);
    const int64_t duration = av_rescale(kAacFrameSamples, 1000, m_nSampleRate);
    return WritePacket(m_lpAudio, ts, data, static_cast<size_t>(len), true, duration);
}

int CRecord::SetAudioHeader(const unsigned char* header, int len) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lpFormat || !header || len <= 0 || len > kMaxAudioConfig) return kFailed;
    if (!m_bWithAudio) return kWritten;
    std::vector<uint8_t> config(header, header + len);
    if (m_bHeaderWritten) return config == m_audioConfig ? kWritten : kFailed;  // fixed once the file has begun
    m_audioConfig.swap(config);
    return kWritten;
}

int CRecord::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_lpFormat) return kFailed;
    int result = kWritten;
    if (!m_bHeaderWritten && !m_held.empty() && !m_bBroken) {
        // Nothing held is lost: without an audio header the Open parameters describe it.
        if (m_bWithAudio && m_audioConfig.empty()) m_audioConfig = DefaultAacConfig(m_nSampleRate, m_nChannels);
        result = StartWithHeldFrames();
    }
    if (m_bBroken) {
        // A write failed: no trailer goes after it, and the piece of a packet or fragment that
        // reached the disk is cut off, so the file ends where its last whole part does.
        avio_closep(&m_lpFormat->pb);
        if (m_bHeaderWritten && truncate(m_strPath.c_str(), m_nGoodBytes) != 0)
            OV_LOG("record: %s could not be cut back to %lld bytes", m_strPath.c_str(),
                   static_cast<long long>(m_nGoodBytes));
        result = kFailed;
    } else {
        if (m_bHeaderWritten && av_write_trailer(m_lpFormat) < 0) result = kFailed;
        if (avio_closep(&m_lpFormat->pb) < 0) result = kFailed;
    }
    if (!m_bHeaderWritten) {
        // No key frame ever came (or not even the header could be written): such a file would
        // only look like a broken recording.
        unlink(m_strPath.c_str());
        OV_LOG("record: Close %s, nothing recorded, file removed", m_strPath.c_str());
    } else {
        OV_LOG("record: Close %s", m_strPath.c_str());
    }
    avformat_free_context(m_lpFormat);
    Reset();
    return result;
}

}  // namespace

}  // namespace record

extern "C" {

__attribute__((visibility("default"))) IRecord* CreateRecord() {
    return new (std::nothrow) record::CRecord();
}

__attribute__((visibility("default"))) void DestroyRecord(IRecord* recorder) {
    delete static_cast<record::CRecord*>(recorder);
}

}
