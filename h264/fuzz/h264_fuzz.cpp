// Fuzz target over the H.264 module: the input is taken as an Annex-B access unit (split,
// parameter sets parsed, a decoder configuration record built and parsed back, the units
// converted to length-prefixed form and back) and, whole, as a record and as length-prefixed
// samples.
//
// Built two ways: with clang's libFuzzer (scripts/fuzz-h264) and, without it, with the replay
// driver in tests/support/fuzz_replay_main.cpp, which the tests run over the seed corpus.
#include "h264/decoder_config.h"
#include "h264/nal_units.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

bool Same(const h264::NalUnit& a, const h264::NalUnit& b) {
    return a.size == b.size && std::equal(a.data, a.data + a.size, b.data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace h264;
    // An exact-size copy so that any read past the input is caught by the sanitizer.
    const std::vector<uint8_t> input(data, data + size);
    const uint8_t* in = input.data();

    const std::vector<NalUnit> nals = SplitAnnexB(in, size);
    for (const NalUnit& n : nals) {
        if (n.data < in || n.data + n.size > in + size || n.size == 0) __builtin_trap();
        SpsInfo info;
        if (ParseSps(n, &info) && (info.width <= 0 || info.height <= 0)) __builtin_trap();
    }

    const std::vector<uint8_t> record = BuildAvcC(nals);
    if (!record.empty()) {
        DecoderConfig config;
        if (!ParseDecoderConfig(record.data(), record.size(), &config)) __builtin_trap();
        if (config.sps.empty() || config.pps.empty() || config.lengthSize != 4) __builtin_trap();
        const bool found = std::any_of(nals.begin(), nals.end(), [&](const NalUnit& n) { return Same(n, config.sps[0]); });
        if (!found) __builtin_trap();
    }

    for (int lengthSize : {1, 2, 4}) {
        std::vector<uint8_t> prefixed;
        AppendLengthPrefixed(nals, lengthSize, &prefixed);
        std::vector<NalUnit> back;
        if (!SplitLengthPrefixed(prefixed.data(), prefixed.size(), lengthSize, &back)) __builtin_trap();
        if (lengthSize == 4) {
            if (back.size() != nals.size()) __builtin_trap();
            for (size_t i = 0; i < back.size(); ++i)
                if (!Same(back[i], nals[i])) __builtin_trap();
        }
    }

    DecoderConfig config;
    if (ParseDecoderConfig(in, size, &config)) {
        for (const auto* list : {&config.sps, &config.pps, &config.spsExt})
            for (const NalUnit& n : *list)
                if (n.data < in || n.data + n.size > in + size) __builtin_trap();
    }
    std::vector<NalUnit> samples;
    SplitLengthPrefixed(in, size, size ? 1 + (in[0] & 3) % 2 * 3 : 4, &samples);
    std::vector<uint8_t> annexB;
    AppendAnnexB(samples, &annexB);
    return 0;
}
