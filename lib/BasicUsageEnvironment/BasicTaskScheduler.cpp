#include "BasicTaskScheduler.hh"

#include <fcntl.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

// Heap order: earliest due time first; equal times in scheduling order.
struct LaterFirst {
  template <class E>
  bool operator()(E const& a, E const& b) const {
    return a.due != b.due ? a.due > b.due : a.seq > b.seq;
  }
};

// A token packs the task's slot (plus one, so no token is null) and the
// slot's generation, so a stale token never cancels a later task. With 64-bit
// pointers each gets 32 bits. With 32-bit pointers the slot gets 20 bits (a
// million tasks at once) and the token keeps the generation's low 12 bits, so
// a stale token is recognised unless its slot was reused a multiple of 4096
// times since.
constexpr unsigned kSlotBits = sizeof(uintptr_t) >= 8 ? 32 : 20;
constexpr uintptr_t kSlotMask = (static_cast<uintptr_t>(1) << kSlotBits) - 1;
constexpr uint32_t kTokenGenerationMask = sizeof(uintptr_t) >= 8 ? 0xFFFFFFFFu : (1u << (32 - kSlotBits)) - 1;

TaskScheduler::TaskToken makeToken(uint32_t index, uint32_t generation) {
  uintptr_t v =
      (static_cast<uintptr_t>(generation & kTokenGenerationMask) << kSlotBits) | (static_cast<uintptr_t>(index) + 1);
  return reinterpret_cast<TaskScheduler::TaskToken>(v);
}

void splitToken(TaskScheduler::TaskToken token, uint32_t& index, uint32_t& generation) {
  uintptr_t v = reinterpret_cast<uintptr_t>(token);
  index = static_cast<uint32_t>(v & kSlotMask) - 1;
  generation = static_cast<uint32_t>(v >> kSlotBits);
}

}  // namespace

BasicTaskScheduler* BasicTaskScheduler::createNew(unsigned maxSchedulerGranularity) {
  return new BasicTaskScheduler(maxSchedulerGranularity);
}

BasicTaskScheduler::BasicTaskScheduler(unsigned maxSchedulerGranularity)
    : fMaxSchedulerGranularity(maxSchedulerGranularity == 0 ? 10000 : maxSchedulerGranularity) {
  FD_ZERO(&fReadSet);
  FD_ZERO(&fWriteSet);
  FD_ZERO(&fExceptionSet);
  fTasks.reserve(64);
  fHeap.reserve(64);
  fReady.reserve(64);
}

BasicTaskScheduler::~BasicTaskScheduler() = default;

int64_t BasicTaskScheduler::nowMicros() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

TaskScheduler::TaskToken BasicTaskScheduler::scheduleDelayedTask(int64_t microseconds, TaskFunc* proc,
                                                                 void* clientData) {
  if (microseconds < 0) microseconds = 0;
  uint32_t index;
  if (!fFreeTasks.empty()) {
    index = fFreeTasks.back();
    fFreeTasks.pop_back();
  } else {
    index = static_cast<uint32_t>(fTasks.size());
    fTasks.emplace_back();
  }
  Task& t = fTasks[index];
  t.due = nowMicros() + microseconds;
  t.seq = fNextSeq++;
  t.proc = proc;
  t.clientData = clientData;
  t.live = true;
  ++fLiveTasks;
  fHeap.push_back(HeapEntry{t.due, t.seq, index, t.generation});
  std::push_heap(fHeap.begin(), fHeap.end(), LaterFirst());
  return makeToken(index, t.generation);
}

void BasicTaskScheduler::releaseTask(uint32_t index) {
  Task& t = fTasks[index];
  t.live = false;
  t.proc = nullptr;
  t.clientData = nullptr;
  ++t.generation;
  fFreeTasks.push_back(index);
  --fLiveTasks;
}

void BasicTaskScheduler::unscheduleDelayedTask(TaskToken& prevTask) {
  if (prevTask == nullptr) return;
  uint32_t index, generation;
  splitToken(prevTask, index, generation);
  prevTask = nullptr;
  if (index >= fTasks.size()) return;
  Task& t = fTasks[index];
  if (!t.live || (t.generation & kTokenGenerationMask) != generation) return;  // already ran or cancelled
  releaseTask(index);
  compactHeapIfStale();
}

void BasicTaskScheduler::compactHeapIfStale() {
  // Cancelled tasks leave their heap entries behind; drop them once they
  // outnumber the live ones, so the heap stays proportional to real work.
  if (fHeap.size() < 64 || fHeap.size() < 2 * fLiveTasks) return;
  auto stale = [this](HeapEntry const& e) {
    Task const& t = fTasks[e.index];
    return !t.live || t.generation != e.generation;
  };
  fHeap.erase(std::remove_if(fHeap.begin(), fHeap.end(), stale), fHeap.end());
  std::make_heap(fHeap.begin(), fHeap.end(), LaterFirst());
}

void BasicTaskScheduler::runDueTasks() {
  int64_t const now = nowMicros();
  uint64_t const seqLimit = fNextSeq;  // tasks scheduled by these tasks wait for the next pass
  while (!fHeap.empty()) {
    HeapEntry const top = fHeap.front();
    if (top.due > now) break;
    Task& t = fTasks[top.index];
    bool const stale = !t.live || t.generation != top.generation;
    if (!stale && top.seq >= seqLimit) break;
    std::pop_heap(fHeap.begin(), fHeap.end(), LaterFirst());
    fHeap.pop_back();
    if (stale) continue;
    TaskFunc* proc = t.proc;
    void* clientData = t.clientData;
    releaseTask(top.index);  // before the call, so the task may schedule itself again
    proc(clientData);
  }
}

void BasicTaskScheduler::setBackgroundHandling(int socketNum, int conditionSet, BackgroundHandlerProc* handlerProc,
                                               void* clientData) {
  if (socketNum < 0) return;
  if (socketNum >= FD_SETSIZE) {
    if (conditionSet != 0 && handlerProc != nullptr)
      std::fprintf(stderr, "BasicTaskScheduler: socket %d is beyond the select() limit of %d; not handled\n", socketNum,
                   FD_SETSIZE);
    return;
  }
  if (handlerProc == nullptr) conditionSet = 0;
  if (static_cast<size_t>(socketNum) >= fHandlers.size()) {
    if (conditionSet == 0) return;  // nothing armed there
    fHandlers.resize(static_cast<size_t>(socketNum) + 1);
  }
  Handler& h = fHandlers[socketNum];
  h.conditionSet = conditionSet;
  h.proc = conditionSet ? handlerProc : nullptr;
  h.clientData = conditionSet ? clientData : nullptr;
  ++h.generation;

  if (conditionSet & SOCKET_READABLE)
    FD_SET(socketNum, &fReadSet);
  else
    FD_CLR(socketNum, &fReadSet);
  if (conditionSet & SOCKET_WRITABLE)
    FD_SET(socketNum, &fWriteSet);
  else
    FD_CLR(socketNum, &fWriteSet);
  if (conditionSet & SOCKET_EXCEPTION)
    FD_SET(socketNum, &fExceptionSet);
  else
    FD_CLR(socketNum, &fExceptionSet);

  if (conditionSet != 0) {
    fMaxNumSockets = std::max(fMaxNumSockets, socketNum + 1);
  } else if (socketNum + 1 == fMaxNumSockets) {
    while (fMaxNumSockets > 0 && fHandlers[fMaxNumSockets - 1].conditionSet == 0) --fMaxNumSockets;
  }
}

void BasicTaskScheduler::SingleStep(unsigned maxDelayTime) {
  int64_t wait = fMaxSchedulerGranularity;
  if (maxDelayTime > 0 && maxDelayTime < wait) wait = maxDelayTime;
  if (!fHeap.empty()) wait = std::min<int64_t>(wait, std::max<int64_t>(0, fHeap.front().due - nowMicros()));

  fd_set readSet = fReadSet, writeSet = fWriteSet, exceptionSet = fExceptionSet;
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(wait / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(wait % 1000000);
  int n = select(fMaxNumSockets, &readSet, &writeSet, &exceptionSet, &tv);
  if (n < 0) {
    if (errno == EBADF) {
      // A socket was closed while still armed: forget it rather than spin.
      for (int fd = 0; fd < fMaxNumSockets; ++fd) {
        if (fHandlers[fd].conditionSet != 0 && fcntl(fd, F_GETFD) < 0) {
          std::fprintf(stderr, "BasicTaskScheduler: socket %d was closed while armed; disarmed\n", fd);
          setBackgroundHandling(fd, 0, nullptr, nullptr);
        }
      }
    } else if (errno != EINTR) {
      std::perror("BasicTaskScheduler::SingleStep(): select() fails");
    }
    n = 0;
  }

  if (n > 0) {
    // Collect first, then dispatch: a handler may disarm or re-arm any socket,
    // and a socket whose handling changed meanwhile is left for the next pass.
    fReady.clear();
    for (int fd = 0; fd < fMaxNumSockets; ++fd) {
      int mask = 0;
      if (FD_ISSET(fd, &readSet)) mask |= SOCKET_READABLE;
      if (FD_ISSET(fd, &writeSet)) mask |= SOCKET_WRITABLE;
      if (FD_ISSET(fd, &exceptionSet)) mask |= SOCKET_EXCEPTION;
      if (mask == 0) continue;
      fReady.push_back(fd);
      fReady.push_back(mask);
      fReady.push_back(static_cast<int>(fHandlers[fd].generation));
    }
    for (size_t i = 0; i + 2 < fReady.size(); i += 3) {
      int fd = fReady[i];
      if (static_cast<size_t>(fd) >= fHandlers.size()) continue;
      Handler const& h = fHandlers[fd];
      if (static_cast<int>(h.generation) != fReady[i + 2]) continue;
      int mask = fReady[i + 1] & h.conditionSet;
      if (mask == 0 || h.proc == nullptr) continue;
      h.proc(h.clientData, mask);
    }
  }

  runDueTasks();
}

void BasicTaskScheduler::doEventLoop(char volatile* watchVariable) {
  while (watchVariable == nullptr || *watchVariable == 0) SingleStep();
}
