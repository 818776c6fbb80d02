// The command line of ostra-bench-client.
#ifndef OSTRA_BENCH_CLIENT_OPTIONS_HH
#define OSTRA_BENCH_CLIENT_OPTIONS_HH

#include <sys/socket.h>
#include <sys/types.h>

#include <string>

namespace ostra_bench {

// What the command line asks for (the defaults are those of the usage text).
struct Options {
  std::string host = "127.0.0.1";
  int port = 8554;
  std::string path = "/ch01";
  std::string url;
  std::string user, pass;
  int clients = 1;
  bool tcp = false;
  double warmup = 2.0;
  double duration = 8.0;
  double setupTimeout = 60.0;
  int concurrency = 16;
  int keepaliveSec = 20;
  int rcvbuf = 1 << 20;
  int basePort = 30000;
  int idle = 0;
  pid_t pid = 0;
  std::string allocFile;
  std::string unitsOut;
  std::string label;
  bool late = false;
  int idleClients = 0;
};

// Reads the command line into 'o': the exit status when the program ends at
// once (usage, --help), else -1.
int parseOptions(int argc, char** argv, Options& o);
// The socket address of o.host (IPv4, or IPv6 as written in brackets in the
// URL) at 'port'; 'loopback' gives that family's loopback address instead.
socklen_t hostAddress(Options const& o, int port, sockaddr_storage& out, bool loopback = false);

}  // namespace ostra_bench

#endif
