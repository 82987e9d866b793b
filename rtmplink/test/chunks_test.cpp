// Media messages leave as one write of all their chunks; the bytes must be exactly what
// librtmp itself writes for the same message.
#include "rtmp_session.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

// What librtmp's RTMP_SendPacket writes for the packet, read back from a socket pair.
std::vector<char> LibRtmpBytes(RTMPPacket* packet, int chunkSize) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    RTMP* r = static_cast<RTMP*>(calloc(1, sizeof(RTMP)));
    RTMP_Init(r);
    r->m_sb.sb_socket = sv[0];
    r->m_outChunkSize = chunkSize;
    EXPECT_TRUE(RTMP_SendPacket(r, packet, 0));
    shutdown(sv[0], SHUT_WR);
    std::vector<char> out;
    char buf[4096];
    for (ssize_t n; (n = read(sv[1], buf, sizeof(buf))) > 0;) out.insert(out.end(), buf, buf + n);
    RTMP_Close(r);  // closes sv[0] and frees what librtmp kept of the packet
    close(sv[1]);
    free(r);
    return out;
}

}  // namespace

TEST(Chunks, SameBytesAsLibRtmp) {
    for (uint32_t ts : {0u, 40u, 0xFFFFFEu, 0xFFFFFFu, 0x12345678u}) {
        for (uint32_t size : {1u, 1024u, 1025u, 5000u}) {
            RTMPPacket packet;
            memset(&packet, 0, sizeof(packet));
            ASSERT_TRUE(RTMPPacket_Alloc(&packet, size));
            for (uint32_t i = 0; i < size; ++i) packet.m_body[i] = static_cast<char>(i * 7);
            packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
            packet.m_packetType = RTMP_PACKET_TYPE_VIDEO;
            packet.m_nChannel = 4;
            packet.m_nTimeStamp = ts;
            packet.m_nInfoField2 = 1;
            packet.m_nBodySize = size;
            std::vector<char> ours;
            rtmplink::BuildChunks(packet, 1024, &ours);
            EXPECT_EQ(ours, LibRtmpBytes(&packet, 1024)) << "timestamp " << ts << ", " << size << " bytes";
            RTMPPacket_Free(&packet);
        }
    }
}
