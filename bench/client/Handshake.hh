// The RTSP side of a client: connecting, DESCRIBE (Digest after a 401), SETUP
// of the first video track over UDP or interleaved TCP, PLAY, keep-alives and
// TEARDOWN, and what arrives on its connection.
#ifndef OSTRA_BENCH_CLIENT_HANDSHAKE_HH
#define OSTRA_BENCH_CLIENT_HANDSHAKE_HH

#include <cstdint>
#include <string>

#include "Bench.hh"

namespace ostra_bench {

// Marks the client failed and closes its sockets.
void fail(Bench& b, Client& c, std::string const& why);
// Sends one request (with the Digest answer and the session once known).
void sendRequest(Bench& b, Client& c, char const* method, std::string const& uri, std::string const& extra);
// Opens the client's connection (non-blocking).
void startClient(Bench& b, Client& c);
// Sends the DESCRIBE that starts the handshake once the connection is up.
void sendDescribe(Bench& b, Client& c);
// Stops or resumes reading a playing client's stream (its RTSP connection, and
// the RTP socket over UDP).
void setReading(Bench& b, Client& c, bool on);
// Parses RTSP responses and '$'-framed interleaved packets in the input buffer.
void drainInput(Bench& b, Client& c, int64_t now, int64_t arrivalNs);

}  // namespace ostra_bench

#endif
