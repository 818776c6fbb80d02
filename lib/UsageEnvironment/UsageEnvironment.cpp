#include "UsageEnvironment.hh"

UsageEnvironment::UsageEnvironment(TaskScheduler& scheduler) : fScheduler(scheduler) {}

UsageEnvironment::~UsageEnvironment() = default;

Boolean UsageEnvironment::reclaim() {
  // Only an environment that no library state depends on may go.
  if (liveMediaPriv != nullptr || groupsockPriv != nullptr) return False;
  delete this;
  return True;
}

TaskScheduler::~TaskScheduler() = default;

void TaskScheduler::rescheduleDelayedTask(TaskToken& task, int64_t microseconds, TaskFunc* proc, void* clientData) {
  unscheduleDelayedTask(task);
  task = scheduleDelayedTask(microseconds, proc, clientData);
}
