#ifndef OSTRA_USAGE_ENVIRONMENT_HH
#define OSTRA_USAGE_ENVIRONMENT_HH

#include <cstdint>
#include <string>

#include "Boolean.hh"
#include "strDup.hh"

#ifndef OSTRA_LIBRARY_NAME
#define OSTRA_LIBRARY_NAME "ostra Streaming Media"
#endif
#ifndef OSTRA_LIBRARY_VERSION
#define OSTRA_LIBRARY_VERSION "0.1.0"
#endif

class TaskScheduler;

// The context every library object lives in: a task scheduler, a text output
// stream for diagnostics, and the result message of the last failed call.
class UsageEnvironment {
public:
  // Destroys the environment if no library state hangs on it any more.
  // Returns true when it was destroyed.
  Boolean reclaim();

  TaskScheduler& taskScheduler() const { return fScheduler; }

  // Result message: the reason for the last failure of a library call.
  typedef char const* MsgString;
  virtual MsgString getResultMsg() const = 0;
  virtual void setResultMsg(MsgString msg) = 0;
  virtual void setResultMsg(MsgString msg1, MsgString msg2) = 0;
  virtual void setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) = 0;
  // Sets 'msg' followed by the system's text for errno (or 'err' when non-zero).
  virtual void setResultErrMsg(MsgString msg, int err = 0) = 0;
  virtual void appendToResultMsg(MsgString msg) = 0;
  virtual void reportBackgroundError() = 0;

  // Text output (the basic environment writes to standard error).
  // A null text prints as "(NULL)".
  virtual UsageEnvironment& operator<<(char const* str) = 0;
  virtual UsageEnvironment& operator<<(int i) = 0;
  virtual UsageEnvironment& operator<<(unsigned u) = 0;
  virtual UsageEnvironment& operator<<(long l) = 0;
  virtual UsageEnvironment& operator<<(unsigned long u) = 0;
  virtual UsageEnvironment& operator<<(double d) = 0;
  virtual UsageEnvironment& operator<<(void* p) = 0;

  // Per-environment state of the media library (its name registry and the
  // like). Non-null keeps reclaim() from destroying the environment.
  void* liveMediaPriv = nullptr;
  void* groupsockPriv = nullptr;

protected:
  explicit UsageEnvironment(TaskScheduler& scheduler);
  virtual ~UsageEnvironment();

private:
  TaskScheduler& fScheduler;
};

// Socket conditions for background handling.
#define SOCKET_READABLE (1 << 1)
#define SOCKET_WRITABLE (1 << 2)
#define SOCKET_EXCEPTION (1 << 3)

// The event loop's interface: delayed tasks and socket handlers.
class TaskScheduler {
public:
  virtual ~TaskScheduler();

  typedef void TaskFunc(void* clientData);
  typedef void* TaskToken;

  // Runs 'proc(clientData)' once, no earlier than 'microseconds' from now.
  // Tasks due at the same time run in the order they were scheduled.
  virtual TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc* proc, void* clientData) = 0;
  // Cancels the task if it has not run yet; sets 'prevTask' to null. A null or
  // already-run token is ignored.
  virtual void unscheduleDelayedTask(TaskToken& prevTask) = 0;
  // unschedule + schedule, storing the new token in 'task'.
  virtual void rescheduleDelayedTask(TaskToken& task, int64_t microseconds, TaskFunc* proc, void* clientData);

  // Background socket handling: 'handlerProc(clientData, mask)' is called from
  // the event loop whenever 'socketNum' meets one of 'conditionSet'
  // (SOCKET_READABLE | SOCKET_WRITABLE | SOCKET_EXCEPTION). A condition set of
  // 0 or a null handler disarms the socket.
  typedef void BackgroundHandlerProc(void* clientData, int mask);
  virtual void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                                     void* clientData) = 0;
  void disableBackgroundHandling(int socketNum) { setBackgroundHandling(socketNum, 0, nullptr, nullptr); }
  // Convenience forms of the library's API.
  void turnOnBackgroundReadHandling(int socketNum, BackgroundHandlerProc* handlerProc, void* clientData) {
    setBackgroundHandling(socketNum, SOCKET_READABLE, handlerProc, clientData);
  }
  void turnOffBackgroundReadHandling(int socketNum) { disableBackgroundHandling(socketNum); }

  // Runs the loop until '*watchVariable' becomes non-zero; for ever when null.
  virtual void doEventLoop(char volatile* watchVariable = nullptr) = 0;

protected:
  TaskScheduler() = default;
};

#endif
