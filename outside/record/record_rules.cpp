#include "record_rules.h"

#include <cctype>

namespace record {

Container ContainerForPath(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string::size_type dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return Container::kUnknown;  // ".mp4" alone is a hidden file
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "mp4") return Container::kMp4;
    if (ext == "flv") return Container::kFlv;
    if (ext == "mkv") return Container::kMkv;
    return Container::kUnknown;
}

const char* MuxerName(Container c) {
    switch (c) {
    case Container::kMp4: return "mp4";
    case Container::kFlv: return "flv";
    case Container::kMkv: return "matroska";
    default: return nullptr;
    }
}

int64_t RecordClock::Elapsed(uint32_t tick) {
    if (!m_started) {
        m_started = true;
        m_lastTick = tick;
        m_lastElapsed = 0;
        return 0;
    }
    const int32_t delta = static_cast<int32_t>(tick - m_lastTick);
    const int64_t elapsed = m_lastElapsed + delta;
    if (delta > 0) {
        m_lastTick = tick;
        m_lastElapsed = elapsed;
    }
    return elapsed;
}

int64_t TrackTimeline::Next(int64_t elapsedMs) {
    int64_t t = elapsedMs < 0 ? 0 : elapsedMs;
    if (m_any && t <= m_last) t = m_last + 1;
    m_any = true;
    m_last = t;
    return t;
}

std::vector<uint8_t> DefaultAacConfig(int sampleRate, int channels) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};
    int index = -1;
    for (int i = 0; i < 13; ++i)
        if (kRates[i] == sampleRate) index = i;
    if (index < 0 || channels < 1 || channels > 7) return {};
    const int objectType = 2;  // AAC LC
    const unsigned bits = (objectType << 11) | (index << 7) | (channels << 3);
    return {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
}

}  // namespace record
