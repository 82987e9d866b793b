// Test helpers: an H.264 decoder over libavcodec, the RTMP publisher's way of cutting an
// access unit (as it parses our frames), and picture comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mediatap_test {

struct Picture {  // planar I420, tightly packed
    int width = 0;
    int height = 0;
    std::vector<uint8_t> y, u, v;
};

class Decoder {
public:
    Decoder();
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    // Feeds one Annex-B access unit; true when a picture came out (into *out).
    bool DecodeAnnexB(const uint8_t* data, size_t len, Picture* out);
    // Feeds one access unit in length-prefixed form (4-byte lengths) after SetAvcC.
    bool SetAvcC(const std::vector<uint8_t>& avcC);
    bool DecodeAvcc(const std::vector<uint8_t>& data, Picture* out);

private:
    bool Feed(const uint8_t* data, size_t len, Picture* out);
    struct Impl;
    Impl* m_impl;
};

// What the publisher's sequence-header, key-frame and inter-frame steps take out of an access
// unit (the 12-byte header already removed), following its start-code scan.
struct PublisherCut {
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
    std::vector<uint8_t> nal;  // the one NAL unit it sends
};
PublisherCut CutKeyFrame(const std::vector<uint8_t>& au);
PublisherCut CutInterFrame(const std::vector<uint8_t>& au);
// The AVCDecoderConfigurationRecord the publisher builds from SPS and PPS.
std::vector<uint8_t> AvcC(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);

// PSNR in dB of plane b against plane a (same size); 99 for identical planes.
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
// Writes an I420 picture as a binary PPM (for looking at it).
bool WritePpm(const Picture& picture, const std::string& path);

}  // namespace mediatap_test
