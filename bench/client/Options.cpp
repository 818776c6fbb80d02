// The command line of ostra-bench-client: the usage text, the options and the server's URL.
#include "Options.hh"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ostra_bench {

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: ostra-bench-client [options] rtsp://[user:pass@]host:port/path\n"
               "  --clients N         number of RTSP sessions (default 1)\n"
               "  --tcp               RTP/AVP/TCP interleaved (default: UDP)\n"
               "  --warmup S          seconds between the last PLAY and the window (default 2)\n"
               "  --duration S        measurement window in seconds (default 8)\n"
               "  --setup-timeout S   give up waiting for clients to play after S seconds (default 60)\n"
               "  --concurrency K     handshakes in flight at once (default 16)\n"
               "  --keepalive S       OPTIONS with the session every S seconds (default 20)\n"
               "  --rcvbuf BYTES      socket receive buffer (default 1 MiB; forced when root)\n"
               "  --base-port P       first UDP client port (default 30000)\n"
               "  --idle N            hold N idle connections (one OPTIONS each) and probe the OPTIONS round trip\n"
               "  --pid PID           server process to sample (CPU, RSS)\n"
               "  --alloc-file F      counters file of the counting allocator loaded into the server\n"
               "  --units-out F       write per-access-unit arrival records for the latency analysis\n"
               "  --label TEXT        copied into the JSON line\n"
               "  --late              clients read their streams only once all of them play\n"
               "  --idle-clients M    M more TCP clients that play and never read (not measured)\n");
}

bool parseUrl(Options& o, std::string const& url) {
  if (url.compare(0, 7, "rtsp://") != 0) return false;
  std::string rest = url.substr(7);
  size_t slash = rest.find('/');
  std::string hostport = rest.substr(0, slash);
  o.path = slash == std::string::npos ? "/" : rest.substr(slash);
  size_t at = hostport.rfind('@');
  if (at != std::string::npos) {
    std::string cred = hostport.substr(0, at);
    hostport = hostport.substr(at + 1);
    size_t colon = cred.find(':');
    o.user = cred.substr(0, colon);
    o.pass = colon == std::string::npos ? "" : cred.substr(colon + 1);
  }
  size_t const close = hostport[0] == '[' ? hostport.find(']') : std::string::npos;  // [IPv6]:port
  size_t colon = hostport.find(':', close == std::string::npos ? 0 : close);
  o.host = close == std::string::npos ? hostport.substr(0, colon) : hostport.substr(1, close - 1);
  o.port = colon == std::string::npos ? 554 : std::atoi(hostport.c_str() + colon + 1);
  o.url = "rtsp://" + hostport + o.path;
  return true;
}

}  // namespace

int parseOptions(int argc, char** argv, Options& o) {
  std::string url;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto val = [&]() -> char const* {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--clients")
      o.clients = std::atoi(val());
    else if (a == "--tcp")
      o.tcp = true;
    else if (a == "--udp")
      o.tcp = false;
    else if (a == "--warmup")
      o.warmup = std::atof(val());
    else if (a == "--duration")
      o.duration = std::atof(val());
    else if (a == "--setup-timeout")
      o.setupTimeout = std::atof(val());
    else if (a == "--concurrency")
      o.concurrency = std::max(1, std::atoi(val()));
    else if (a == "--keepalive")
      o.keepaliveSec = std::atoi(val());
    else if (a == "--rcvbuf")
      o.rcvbuf = std::atoi(val());
    else if (a == "--base-port")
      o.basePort = std::atoi(val());
    else if (a == "--idle")
      o.idle = std::max(0, std::atoi(val()));
    else if (a == "--pid")
      o.pid = pid_t(std::atoi(val()));
    else if (a == "--alloc-file")
      o.allocFile = val();
    else if (a == "--units-out")
      o.unitsOut = val();
    else if (a == "--label")
      o.label = val();
    else if (a == "--late")
      o.late = true;
    else if (a == "--idle-clients")
      o.idleClients = std::max(0, std::atoi(val()));
    else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (a.compare(0, 7, "rtsp://") == 0)
      url = a;
    else {
      usage();
      return 2;
    }
  }
  if (url.empty() || !parseUrl(o, url) || o.clients < 1) {
    usage();
    return 2;
  }
  return -1;
}

socklen_t hostAddress(Options const& o, int port, sockaddr_storage& out, bool loopback) {
  out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
  if (inet_pton(AF_INET, o.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(uint16_t(port));
    if (loopback) v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof *v4;
  }
  inet_pton(AF_INET6, o.host.c_str(), &v6->sin6_addr);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(uint16_t(port));
  if (loopback) v6->sin6_addr = in6addr_loopback;
  return sizeof *v6;
}

}  // namespace ostra_bench
