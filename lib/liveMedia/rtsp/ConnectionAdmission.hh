#ifndef OSTRA_CONNECTION_ADMISSION_HH
#define OSTRA_CONNECTION_ADMISSION_HH

#include <cstddef>
#include <cstdint>

#include "UsageEnvironment.hh"

// Which connections a listening socket takes, and what it does while the
// process has no descriptor to spare. Connections are admitted up to the
// descriptor limit less a reserve kept for everything else the server opens
// (producer links, the tracks' RTP and RTCP sockets, the listening socket),
// and never beyond a fixed ceiling. When accept() itself fails for want of
// descriptors or memory, the listening socket goes unwatched for a short
// pause instead of waking the loop again at once.
class ConnectionAdmission {
public:
  static constexpr int64_t kPauseMicroseconds = 100000;

  // Connections allowed under 'descriptorLimit' (the soft RLIMIT_NOFILE).
  static unsigned limitFor(uint64_t descriptorLimit, unsigned descriptorReserve, unsigned maxConnections);
  // Whether accept() failed for want of descriptors or memory.
  static bool isShortage(int err);

  // Watches 'listeningSocket' with 'handler' from now on; the limit is
  // computed from the descriptor limit in force now.
  ConnectionAdmission(UsageEnvironment& env, int listeningSocket, TaskScheduler::BackgroundHandlerProc* handler,
                      void* clientData, unsigned descriptorReserve, unsigned maxConnections);
  ~ConnectionAdmission();  // stops watching

  // Recomputes the limit from the descriptor limit in force now.
  void setLimits(unsigned descriptorReserve, unsigned maxConnections);
  unsigned limit() const { return fLimit; }
  unsigned reserve() const { return fReserve; }
  unsigned ceiling() const { return fCeiling; }
  bool admits(size_t openConnections) const { return openConnections < fLimit; }

  // Leaves the listening socket unwatched for kPauseMicroseconds.
  void pause();

private:
  ConnectionAdmission(ConnectionAdmission const&) = delete;
  ConnectionAdmission& operator=(ConnectionAdmission const&) = delete;
  static void resumeTask(void* clientData);

  UsageEnvironment& fEnv;
  int fSocket;
  TaskScheduler::BackgroundHandlerProc* fHandler;
  void* fClientData;
  unsigned fLimit = 0;
  unsigned fReserve = 0, fCeiling = 0;
  TaskScheduler::TaskToken fResumeTask = nullptr;
};

#endif
