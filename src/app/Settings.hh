#ifndef OSTRA_SETTINGS_HH
#define OSTRA_SETTINGS_HH

#include <cstdint>

// The daemon's settings, fixed at build time. The production start-up uses
// the defaults unchanged; only the credentials file, the audio switch and the
// number of channels are read at run time. Tests may start the daemon with other values (shorter
// waits, temporary paths, other ports) in a child process.

#ifndef OSTRA_VIDEO_CODEC
#define OSTRA_VIDEO_CODEC 5  // chosen with the CMake cache variable of the same name
#endif

#ifndef OSTRA_TLS
#define OSTRA_TLS 1  // chosen with the CMake option of the same name
#endif

#ifndef OSTRA_PLAIN_RTSP
#define OSTRA_PLAIN_RTSP 1  // chosen with the CMake option of the same name (0: TLS only)
#endif

#ifndef OSTRA_MAX_SESSIONS
#define OSTRA_MAX_SESSIONS 64  // chosen with the CMake cache variable of the same name
#endif

struct Settings {
  // Video track type: 5 = H.264, 6 = H.265, 4 = MPEG-4 part 2, anything else = no video.
  int videoCodec = OSTRA_VIDEO_CODEC;
  // Video bit rate in bits per second, handed to the video subsession.
  uint32_t videoBitrate = 3000000;
  // TCP port of the RTSP server.
  uint16_t rtspPort = 8554;
  // Name of the first stream; the last element of its URL. The streams of
  // the further channels are "ch02", "ch03" and "ch04".
  char const* streamName = "ch01";
  // Pause after the pid file is written, in milliseconds.
  unsigned startDelayMs = 10000;
  // Granularity of the task scheduler in microseconds.
  unsigned schedulerGranularityUs = 10000;
  // Clients silent this long are dropped by the RTSP server.
  unsigned reclamationSeconds = 65;
  // Descriptors kept free of RTSP connections for everything else the daemon
  // opens: standard input, output and error (3), the event loop (1), the
  // listening sockets (2: plain and TLS), the producer links (2), the short-lived one of
  // each track's description (1 at a time), each track's RTP and RTCP sockets
  // and its SRTP clients' pair (8) and the description's dummy one (1), twice the
  // stream's sockets while an ended stream waits to be taken down (10), random
  // sources and address look-ups (3), one connection being refused (1), and room to spare.
  unsigned descriptorReserve = 40;
  // And for each stream beyond the first: its producer links (2), its
  // tracks' RTP, RTCP and SRTP sockets (8) and twice those while an ended
  // stream waits to be taken down (10).
  unsigned descriptorReservePerExtraStream = 20;
  // RTSP connections held at once, whatever the descriptor limit allows.
  unsigned maxConnections = 4096;
  // Client sessions one connection may open, and all connections together.
  unsigned maxSessionsPerConnection = 8;
  unsigned maxSessions = OSTRA_MAX_SESSIONS;
  // Largest outgoing frame of the RTP sinks, in bytes.
  unsigned outPacketBufferMaxSize = 1000000;
  // Channel of the first stream's media input hub; the video producer port is
  // 13032 + channel. The hub of stream k (from 0) has channel + k.
  int mediaInputChannel = 0;
  // Real-time priority (SCHED_RR) of the thread while serving.
  int realtimePriority = 80;
  // Pid file, opened with mode "w+".
  char const* pidFile = "/var/run/ostra";
  // Credentials file, and how long start-up waits for it.
  char const* credentialsFile = "/var/etc/httppasswd";
  unsigned credentialsAttempts = 40;
  unsigned credentialsRetryMs = 1000;
  // RTSP over TLS: its TCP port, served when the certificate file (the
  // chain followed by its private key, PEM) is present and usable at
  // start-up; whether plain RTSP is served too.
  uint16_t tlsPort = 8322;
  char const* tlsCertificateFile = "/var/etc/ostra.pem";
  bool plainRTSP = OSTRA_PLAIN_RTSP != 0;
  // Settings file and the element that switches the audio track on.
  char const* settingsFile = "/talpa/bin/ostra.xml";
  char const* audioSwitchPath = "/sys/audio";
  // The element giving the number of streams, one per video channel of the
  // producer (1 to maxChannels; anything else gives 1).
  char const* channelsPath = "/sys/channels";
  int maxChannels = 4;
};

// audioMode values.
constexpr int kAudioModeNone = 0;
constexpr int kAudioModeG711 = 2;

#endif
