// The server side of one RTMP connection, replayed from a recorded byte stream: what a
// hostile server sends to the client. Used by the fuzz target (over a socket pair) and by the
// hostile-server test (over loopback TCP).
//
// A script is one flags byte and the server's bytes:
// - bit 0 of the flags: the client publishes (set) or plays (clear);
// - bit 2: the bytes begin with the server's own handshake (S0, S1, S2); clear: the server
//   answers the handshake itself (S0 = 3, S1 = 1536 zero bytes, S2 = the client's C1) once it
//   has read C0 and C1, and sends the bytes after reading C2;
// - bit 3: the client's URL carries a publisher's user and password (kCredentialsUrl), so
//   that a server's authentication challenge is answered;
// - the other bits are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rtmplink {

// The stream URL's options for bit 3 (librtmp reads options after the URL, space-separated).
constexpr const char* kCredentialsUrl = " pubUser=teacher pubPasswd=secret";

struct ServerScript {
    bool publish = false;
    bool ownHandshake = false;
    bool credentials = false;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};

// False for an empty input (no flags byte).
bool ParseServerScript(const uint8_t* data, size_t size, ServerScript* script);

// Plays the server on the connected socket fd: sends the script's bytes (reading and dropping
// whatever the client sends meanwhile, so neither side can block the other), half-closes,
// and reads until the client closes or the connection fails. Does not close fd.
// At once: a handshake answered here goes out with the script from the start, its S2 all
// zeros instead of the client's C1 (librtmp only warns about that), so that the client never
// waits for the server (the fuzz target's pace).
void ServeScript(int fd, const ServerScript& script, bool atOnce = false);

// Everything such a server sends at once: the script with its handshake, or S0, S1 and S2
// (zeros) then the script.
std::vector<uint8_t> BytesAtOnce(const ServerScript& script);

}  // namespace rtmplink
