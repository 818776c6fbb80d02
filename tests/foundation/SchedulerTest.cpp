// The event loop: delayed tasks, socket handlers, the watch variable.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BasicUsageEnvironment.hh"

namespace {

using Clock = std::chrono::steady_clock;

struct Recorder {
  std::vector<int> order;
  std::vector<Clock::time_point> when;
};

struct TaskArg {
  Recorder* rec;
  int id;
};

void recordTask(void* p) {
  auto* a = static_cast<TaskArg*>(p);
  a->rec->order.push_back(a->id);
  a->rec->when.push_back(Clock::now());
}

class SchedulerTest : public ::testing::Test {
protected:
  void SetUp() override { sched.reset(BasicTaskScheduler::createNew(10000)); }

  // Steps the loop until 'done' holds or the deadline passes.
  template <class Pred>
  bool runUntil(Pred done, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
      if (Clock::now() > deadline) return false;
      sched->SingleStep();
    }
    return true;
  }

  std::unique_ptr<BasicTaskScheduler> sched;
};

TEST_F(SchedulerTest, DelayedTasksRunInTimeOrderNotSchedulingOrder) {
  Recorder rec;
  TaskArg a{&rec, 1}, b{&rec, 2}, c{&rec, 3}, d{&rec, 4};
  auto start = Clock::now();
  sched->scheduleDelayedTask(60000, recordTask, &a);
  sched->scheduleDelayedTask(20000, recordTask, &b);
  sched->scheduleDelayedTask(40000, recordTask, &c);
  sched->scheduleDelayedTask(20000, recordTask, &d);  // same time as b: after b
  ASSERT_TRUE(runUntil([&] { return rec.order.size() == 4; }));
  EXPECT_EQ(rec.order, (std::vector<int>{2, 4, 3, 1}));
  // Never early.
  EXPECT_GE(rec.when[0] - start, std::chrono::microseconds(20000));
  EXPECT_GE(rec.when[2] - start, std::chrono::microseconds(40000));
  EXPECT_GE(rec.when[3] - start, std::chrono::microseconds(60000));
  EXPECT_EQ(sched->numPendingTasks(), 0u);
}

TEST_F(SchedulerTest, UnscheduleAndRescheduleAndStaleTokens) {
  Recorder rec;
  TaskArg a{&rec, 1}, b{&rec, 2}, c{&rec, 3};
  TaskScheduler::TaskToken ta = sched->scheduleDelayedTask(10000, recordTask, &a);
  TaskScheduler::TaskToken tb = sched->scheduleDelayedTask(10000, recordTask, &b);
  sched->unscheduleDelayedTask(ta);
  EXPECT_EQ(ta, nullptr);
  sched->rescheduleDelayedTask(tb, 30000, recordTask, &b);
  TaskScheduler::TaskToken tc = sched->scheduleDelayedTask(20000, recordTask, &c);
  TaskScheduler::TaskToken staleC = tc;
  ASSERT_TRUE(runUntil([&] { return rec.order.size() == 2; }));
  EXPECT_EQ(rec.order, (std::vector<int>{3, 2}));
  // c has run and its slot may be reused: the old token must not cancel the new task.
  TaskArg e{&rec, 5};
  sched->scheduleDelayedTask(0, recordTask, &e);
  sched->unscheduleDelayedTask(staleC);
  ASSERT_TRUE(runUntil([&] { return rec.order.size() == 3; }));
  EXPECT_EQ(rec.order.back(), 5);
  TaskScheduler::TaskToken none = nullptr;
  sched->unscheduleDelayedTask(none);  // ignored
}

// A task that reschedules itself with no delay must not starve sockets or
// other tasks: each pass runs only the tasks that were due when it began.
struct Spinner {
  TaskScheduler* s;
  int runs = 0;
  static void run(void* p) {
    auto* self = static_cast<Spinner*>(p);
    ++self->runs;
    self->s->scheduleDelayedTask(0, run, self);
  }
};

TEST_F(SchedulerTest, ZeroDelayTaskRunsOncePerPass) {
  Spinner sp{sched.get()};
  sched->scheduleDelayedTask(0, Spinner::run, &sp);
  sched->SingleStep();
  EXPECT_EQ(sp.runs, 1);
  sched->SingleStep();
  EXPECT_EQ(sp.runs, 2);
}

struct SocketPair {
  int fd[2];
  SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
  ~SocketPair() {
    ::close(fd[0]);
    ::close(fd[1]);
  }
};

struct HandlerState {
  TaskScheduler* s = nullptr;
  int calls = 0;
  int lastMask = 0;
  int fd = -1;
  int otherFd = -1;
  bool disarmSelf = false;
  bool disarmOther = false;
  bool scheduleTask = false;
  Recorder* rec = nullptr;
  TaskArg* arg = nullptr;
};

void onReadable(void* p, int mask) {
  auto* h = static_cast<HandlerState*>(p);
  ++h->calls;
  h->lastMask = mask;
  char buf[16];
  (void)!recv(h->fd, buf, sizeof buf, MSG_DONTWAIT);
  if (h->disarmSelf) h->s->disableBackgroundHandling(h->fd);
  if (h->disarmOther) h->s->disableBackgroundHandling(h->otherFd);
  if (h->scheduleTask) h->s->scheduleDelayedTask(0, recordTask, h->arg);
}

TEST_F(SchedulerTest, HandlerDisarmingAnotherReadySocketKeepsItFromRunning) {
  SocketPair p1, p2;
  HandlerState h1, h2;
  h1.s = h2.s = sched.get();
  h1.fd = p1.fd[0];
  h2.fd = p2.fd[0];
  // Whichever runs first disarms the other; the other must not be called.
  h1.disarmOther = true;
  h1.otherFd = h2.fd;
  h2.disarmOther = true;
  h2.otherFd = h1.fd;
  sched->setBackgroundHandling(h1.fd, SOCKET_READABLE, onReadable, &h1);
  sched->setBackgroundHandling(h2.fd, SOCKET_READABLE, onReadable, &h2);
  ASSERT_EQ(write(p1.fd[1], "x", 1), 1);
  ASSERT_EQ(write(p2.fd[1], "y", 1), 1);
  ASSERT_TRUE(runUntil([&] { return h1.calls + h2.calls > 0; }));
  for (int i = 0; i < 5; ++i) sched->SingleStep(1000);
  EXPECT_EQ(h1.calls + h2.calls, 1);
}

TEST_F(SchedulerTest, HandlerThatDisarmsItselfRunsOnceAndReArmingWorks) {
  SocketPair p;
  HandlerState h;
  h.s = sched.get();
  h.fd = p.fd[0];
  h.disarmSelf = true;
  sched->setBackgroundHandling(h.fd, SOCKET_READABLE, onReadable, &h);
  ASSERT_EQ(write(p.fd[1], "ab", 2), 2);
  ASSERT_TRUE(runUntil([&] { return h.calls == 1; }));
  EXPECT_EQ(h.lastMask, SOCKET_READABLE);
  ASSERT_EQ(write(p.fd[1], "c", 1), 1);
  for (int i = 0; i < 5; ++i) sched->SingleStep(1000);
  EXPECT_EQ(h.calls, 1);  // disarmed: data waits
  sched->turnOnBackgroundReadHandling(h.fd, onReadable, &h);
  ASSERT_TRUE(runUntil([&] { return h.calls == 2; }));
}

TEST_F(SchedulerTest, TaskScheduledFromHandlerRuns) {
  SocketPair p;
  Recorder rec;
  TaskArg arg{&rec, 7};
  HandlerState h;
  h.s = sched.get();
  h.fd = p.fd[0];
  h.disarmSelf = true;
  h.scheduleTask = true;
  h.arg = &arg;
  sched->setBackgroundHandling(h.fd, SOCKET_READABLE, onReadable, &h);
  ASSERT_EQ(write(p.fd[1], "z", 1), 1);
  ASSERT_TRUE(runUntil([&] { return rec.order.size() == 1; }));
  EXPECT_EQ(rec.order[0], 7);
}

TEST_F(SchedulerTest, WritableConditionIsReported) {
  SocketPair p;
  HandlerState h;
  h.s = sched.get();
  h.fd = p.fd[0];
  h.disarmSelf = true;
  sched->setBackgroundHandling(h.fd, SOCKET_WRITABLE, onReadable, &h);
  ASSERT_TRUE(runUntil([&] { return h.calls == 1; }));
  EXPECT_EQ(h.lastMask, SOCKET_WRITABLE);
}

TEST_F(SchedulerTest, SocketClosedWhileArmedIsDroppedNotSpun) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  HandlerState h;
  h.s = sched.get();
  h.fd = fds[0];
  sched->setBackgroundHandling(fds[0], SOCKET_READABLE, onReadable, &h);
  ::close(fds[0]);
  ::close(fds[1]);
  Recorder rec;
  TaskArg arg{&rec, 1};
  sched->scheduleDelayedTask(5000, recordTask, &arg);
  ASSERT_TRUE(runUntil([&] { return rec.order.size() == 1; }));  // the loop still works
  EXPECT_EQ(h.calls, 0);

  // A new socket under the same number, armed again, is watched.
  SocketPair p;
  ASSERT_EQ(dup2(p.fd[0], fds[0]), fds[0]);
  HandlerState again;
  again.s = sched.get();
  again.fd = fds[0];
  again.disarmSelf = true;
  sched->setBackgroundHandling(fds[0], SOCKET_READABLE, onReadable, &again);
  ASSERT_EQ(write(p.fd[1], "n", 1), 1);
  EXPECT_TRUE(runUntil([&] { return again.calls == 1; }));
  EXPECT_EQ(h.calls, 0);
  ::close(fds[0]);
}

TEST_F(SchedulerTest, SocketsAboveTheOldSelectCeilingAreWatched) {
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  int const high = 3000;
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max <= static_cast<rlim_t>(high)) {
    GTEST_SKIP() << "descriptor limit " << saved.rlim_max << " is too low";
  }
  struct rlimit raised = saved;
  if (raised.rlim_cur <= static_cast<rlim_t>(high)) raised.rlim_cur = high + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  SocketPair p;
  int fd = fcntl(p.fd[0], F_DUPFD, high);
  ASSERT_EQ(fd, high);
  HandlerState h;
  h.s = sched.get();
  h.fd = fd;
  h.disarmSelf = true;
  sched->setBackgroundHandling(fd, SOCKET_READABLE, onReadable, &h);
  ASSERT_EQ(write(p.fd[1], "x", 1), 1);
  EXPECT_TRUE(runUntil([&] { return h.calls == 1; }));
  EXPECT_EQ(h.lastMask, SOCKET_READABLE);
  ::close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
}

struct Stopper {
  char* watch;
  static void run(void* p) { *static_cast<Stopper*>(p)->watch = 1; }
};

TEST_F(SchedulerTest, DoEventLoopReturnsWhenWatchVariableSet) {
  char volatile watch = 0;
  Stopper st{const_cast<char*>(&watch)};
  sched->scheduleDelayedTask(20000, Stopper::run, &st);
  auto start = Clock::now();
  sched->doEventLoop(&watch);
  EXPECT_EQ(watch, 1);
  EXPECT_GE(Clock::now() - start, std::chrono::microseconds(20000));
}

TEST(UsageEnvironmentTest, ResultMessagesAndReclaim) {
  BasicTaskScheduler* s = BasicTaskScheduler::createNew(10000);
  UsageEnvironment* env = BasicUsageEnvironment::createNew(*s);
  env->setResultMsg("a", "b", "c");
  EXPECT_STREQ(env->getResultMsg(), "abc");
  env->setResultErrMsg("bind() error: ", ECONNREFUSED);
  EXPECT_EQ(std::string(env->getResultMsg()), std::string("bind() error: ") + strerror(ECONNREFUSED));
  testing::internal::CaptureStderr();
  *env << "n=" << 5 << " u=" << 7u << " " << static_cast<char const*>(nullptr) << "\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "n=5 u=7 (NULL)\n");
  EXPECT_TRUE(env->reclaim());
  delete s;
}

}  // namespace
