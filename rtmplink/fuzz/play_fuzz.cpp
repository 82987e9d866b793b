// Fuzz target for the player's packet handling: the input is cut into a run of RTMP media
// messages (one type byte, a 16-bit length, the body) fed to one PlayPacketizer, and the
// whole input also goes through the converter with a small output room.
//
// Built two ways: with clang's libFuzzer (-fsanitize=fuzzer, see bench/rtmplink_play/fuzz.sh)
// and, without it, with the driver in tests/support/fuzz_replay_main.cpp, which replays the corpus and a
// fixed number of generated inputs.
#include "play_packets.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace rtmplink;
    {
        // The converter alone, with room that is sometimes too small.
        uint8_t room = size ? data[0] : 0;
        std::vector<uint8_t> out(room);
        const int n = AvcToAnnexB(data, static_cast<int>(size), out.data(), static_cast<int>(out.size()));
        if (n < 0 || n > static_cast<int>(out.size())) __builtin_trap();
    }
    PlayPacketizer packetizer;
    size_t pos = 0;
    uint32_t timestamp = 0;
    while (pos + 3 <= size) {
        const uint8_t type = data[pos];
        size_t len = (static_cast<size_t>(data[pos + 1]) << 8) | data[pos + 2];
        pos += 3;
        if (len > size - pos) len = size - pos;
        // An exact-size copy so that any read past the body is caught by the sanitizer.
        std::vector<uint8_t> body(data + pos, data + pos + len);
        pos += len;
        timestamp += type;
        if ((type & 1) == 0) {  // even types (8) are audio, odd ones (9) video
            if (packetizer.Audio(body.data(), static_cast<uint32_t>(body.size())) == PlayResult::kDelivered) {
                if (packetizer.AudioLength() != static_cast<int>(len) - 1 + kPlayHeaderSize) __builtin_trap();
            }
        } else if (packetizer.Video(body.data(), static_cast<uint32_t>(body.size()), timestamp) ==
                   PlayResult::kDelivered) {
            // The parameter sets, a start code and the data, never more than the body grew by.
            if (packetizer.VideoLength() > static_cast<int>(len) + kPlayHeaderSize + kParameterSetRoom) __builtin_trap();
            const uint8_t* p = packetizer.VideoData();
            if (p[0] != 0x80 || p[1] != 0xE0) __builtin_trap();
        }
    }
    return 0;
}
