#include "BasicTaskScheduler.hh"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "MonotonicClock.hh"

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

// The events that stand for a condition set, and back. Like select(), a
// socket at end of stream or with an error counts as readable, one with an
// error as writable.
uint32_t epollEventsFor(int conditionSet) {
  uint32_t events = 0;
  if (conditionSet & SOCKET_READABLE) events |= EPOLLIN;
  if (conditionSet & SOCKET_WRITABLE) events |= EPOLLOUT;
  if (conditionSet & SOCKET_EXCEPTION) events |= EPOLLPRI;
  return events;
}

int conditionsOf(uint32_t events) {
  int mask = 0;
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) mask |= SOCKET_READABLE;
  if (events & (EPOLLOUT | EPOLLERR)) mask |= SOCKET_WRITABLE;
  if (events & EPOLLPRI) mask |= SOCKET_EXCEPTION;
  return mask;
}

// Ready lists of one wait hold at most this many sockets; the others are
// reported by the next wait (level-triggered, so none is lost).
constexpr size_t kMaxEventsPerWait = 1024;

}  // namespace

BasicTaskScheduler* BasicTaskScheduler::createNew(unsigned maxSchedulerGranularity) {
  return new BasicTaskScheduler(maxSchedulerGranularity);
}

BasicTaskScheduler::BasicTaskScheduler(unsigned maxSchedulerGranularity)
    : fMaxSchedulerGranularity(maxSchedulerGranularity == 0 ? 10000 : maxSchedulerGranularity),
      fEpollFd(epoll_create1(EPOLL_CLOEXEC)) {
  if (fEpollFd < 0) std::perror("BasicTaskScheduler: epoll_create1() fails");
  fTasks.reserve(64);
  fHeap.reserve(64);
  fEvents.resize(64);
  fReady.reserve(64);
}

BasicTaskScheduler::~BasicTaskScheduler() {
  if (fEpollFd >= 0) ::close(fEpollFd);
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
  t.due = monotonicMicros() + microseconds;
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
  int64_t const now = monotonicMicros();
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
  if (handlerProc == nullptr) conditionSet = 0;
  conditionSet &= SOCKET_READABLE | SOCKET_WRITABLE | SOCKET_EXCEPTION;
  if (static_cast<size_t>(socketNum) >= fHandlers.size()) {
    if (conditionSet == 0) return;  // nothing armed there
    fHandlers.resize(static_cast<size_t>(socketNum) + 1);
  }
  Handler& h = fHandlers[socketNum];
  h.conditionSet = conditionSet;
  h.proc = conditionSet ? handlerProc : nullptr;
  h.clientData = conditionSet ? clientData : nullptr;
  ++h.generation;
  watch(socketNum, h);
}

void BasicTaskScheduler::watch(int socketNum, Handler& h) {
  uint32_t const events = epollEventsFor(h.conditionSet);
  if (events == 0) {
    if (h.watched == 0) return;
    // A socket closed while armed has already left the epoll set (ENOENT, EBADF).
    (void)epoll_ctl(fEpollFd, EPOLL_CTL_DEL, socketNum, nullptr);
    h.watched = 0;
    --fNumWatched;
    return;
  }
  struct epoll_event ev {};
  ev.events = events;
  ev.data.fd = socketNum;
  // Modify what is watched, or add it. A socket closed while armed left the
  // set without a word, so a new socket under its number must be added
  // (ENOENT); one watched without our knowing is modified instead (EEXIST).
  int op = h.watched != 0 ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  int result = epoll_ctl(fEpollFd, op, socketNum, &ev);
  if (result != 0 && (errno == ENOENT || errno == EEXIST)) {
    op = errno == ENOENT ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    result = epoll_ctl(fEpollFd, op, socketNum, &ev);
  }
  if (result != 0) {
    std::fprintf(stderr, "BasicTaskScheduler: socket %d cannot be watched: %s\n", socketNum, std::strerror(errno));
    if (h.watched != 0) --fNumWatched;
    h.watched = 0;
    return;
  }
  if (h.watched == 0) ++fNumWatched;
  h.watched = events;
}

int BasicTaskScheduler::waitForEvents(int64_t waitMicros) {
  size_t const capacity = std::min(std::max<size_t>(fNumWatched, 64), kMaxEventsPerWait);
  if (fEvents.size() < capacity) fEvents.resize(capacity);
  int const maxEvents = static_cast<int>(fEvents.size());
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 35))
  // Microsecond waits where the kernel has them (Linux 5.11 and later).
  static bool haveFineWait = true;
  if (haveFineWait) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(waitMicros / 1000000);
    ts.tv_nsec = static_cast<long>(waitMicros % 1000000) * 1000;
    int n = epoll_pwait2(fEpollFd, fEvents.data(), maxEvents, &ts, nullptr);
    if (n >= 0 || errno != ENOSYS) return n;
    haveFineWait = false;
  }
#endif
  // Whole milliseconds, rounded up: a task is never run early.
  return epoll_wait(fEpollFd, fEvents.data(), maxEvents, static_cast<int>((waitMicros + 999) / 1000));
}

void BasicTaskScheduler::SingleStep(unsigned maxDelayTime) {
  int64_t wait = fMaxSchedulerGranularity;
  if (maxDelayTime > 0 && maxDelayTime < wait) wait = maxDelayTime;
  if (!fHeap.empty()) wait = std::min<int64_t>(wait, std::max<int64_t>(0, fHeap.front().due - monotonicMicros()));

  int n = waitForEvents(wait);
  if (n < 0) {
    if (errno != EINTR) std::perror("BasicTaskScheduler::SingleStep(): epoll_wait() fails");
    n = 0;
  }

  // Collect first, then dispatch: a handler may disarm or re-arm any socket,
  // and a socket whose handling changed meanwhile is left for the next pass.
  fReady.clear();
  for (int i = 0; i < n; ++i) {
    int const fd = fEvents[i].data.fd;
    if (fd < 0 || static_cast<size_t>(fd) >= fHandlers.size()) continue;
    fReady.push_back(Ready{fd, conditionsOf(fEvents[i].events), fHandlers[fd].generation});
  }
  for (Ready const& r : fReady) {
    Handler const& h = fHandlers[r.socketNum];
    if (h.generation != r.generation) continue;
    int mask = r.mask & h.conditionSet;
    if (mask == 0 || h.proc == nullptr) continue;
    h.proc(h.clientData, mask);
  }

  runDueTasks();
}

void BasicTaskScheduler::doEventLoop(char volatile* watchVariable) {
  while (watchVariable == nullptr || *watchVariable == 0) SingleStep();
}
