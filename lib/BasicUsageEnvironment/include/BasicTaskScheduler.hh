#ifndef OSTRA_BASIC_TASK_SCHEDULER_HH
#define OSTRA_BASIC_TASK_SCHEDULER_HH

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

#include "UsageEnvironment.hh"

// An epoll-based event loop: delayed tasks kept in a heap, and one handler
// per socket. Any descriptor the process may open can be watched, and one
// pass costs the same whatever the highest descriptor number. Scheduling a
// task or arming a socket allocates nothing once the internal tables have
// grown to the working set.
class BasicTaskScheduler : public TaskScheduler {
public:
  // 'maxSchedulerGranularity' (microseconds) bounds how long one wait for
  // sockets may last, so the loop wakes at least that often even with nothing
  // to do.
  static BasicTaskScheduler* createNew(unsigned maxSchedulerGranularity = 10000);
  ~BasicTaskScheduler() override;

  TaskToken scheduleDelayedTask(int64_t microseconds, TaskFunc* proc, void* clientData) override;
  void unscheduleDelayedTask(TaskToken& prevTask) override;
  void setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                             void* clientData) override;
  void doEventLoop(char volatile* watchVariable = nullptr) override;

  // One pass of the loop: wait (at most 'maxDelayTime' microseconds, 0 = the
  // granularity), dispatch ready sockets, then due tasks.
  void SingleStep(unsigned maxDelayTime = 0);

  // Number of tasks scheduled and not yet run or cancelled.
  size_t numPendingTasks() const { return fLiveTasks; }

protected:
  explicit BasicTaskScheduler(unsigned maxSchedulerGranularity);

private:
  struct Task {
    int64_t due = 0;   // microseconds on the monotonic clock
    uint64_t seq = 0;  // tie-break: scheduling order
    TaskFunc* proc = nullptr;
    void* clientData = nullptr;
    uint32_t generation = 0;  // bumped whenever the slot is released
    bool live = false;
  };
  struct HeapEntry {
    int64_t due;
    uint64_t seq;
    uint32_t index;
    uint32_t generation;
  };
  struct Handler {
    int conditionSet = 0;
    BackgroundHandlerProc* proc = nullptr;
    void* clientData = nullptr;
    uint32_t generation = 0;  // bumped on every change of this socket's handling
    uint32_t watched = 0;     // the epoll events the kernel watches for it
  };
  struct Ready {
    int socketNum;
    int mask;
    uint32_t generation;
  };

  void releaseTask(uint32_t index);
  void runDueTasks();
  void compactHeapIfStale();
  void watch(int socketNum, Handler& h);
  int waitForEvents(int64_t waitMicros);

  unsigned fMaxSchedulerGranularity;
  std::vector<Task> fTasks;
  std::vector<uint32_t> fFreeTasks;
  std::vector<HeapEntry> fHeap;
  uint64_t fNextSeq = 0;
  size_t fLiveTasks = 0;

  int fEpollFd;
  std::vector<Handler> fHandlers;  // indexed by socket number
  size_t fNumWatched = 0;
  std::vector<struct epoll_event> fEvents;  // filled by one wait
  std::vector<Ready> fReady;                // scratch list used during dispatch
};

#endif
