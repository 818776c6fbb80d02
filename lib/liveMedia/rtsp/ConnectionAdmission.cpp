#include "ConnectionAdmission.hh"

#include <sys/resource.h>

#include <cerrno>

unsigned ConnectionAdmission::limitFor(uint64_t descriptorLimit, unsigned descriptorReserve, unsigned maxConnections) {
  if (descriptorLimit <= descriptorReserve) return 0;
  uint64_t room = descriptorLimit - descriptorReserve;
  return room < maxConnections ? static_cast<unsigned>(room) : maxConnections;
}

bool ConnectionAdmission::isShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

ConnectionAdmission::ConnectionAdmission(UsageEnvironment& env, int listeningSocket,
                                         TaskScheduler::BackgroundHandlerProc* handler, void* clientData,
                                         unsigned descriptorReserve, unsigned maxConnections)
    : fEnv(env), fSocket(listeningSocket), fHandler(handler), fClientData(clientData) {
  setLimits(descriptorReserve, maxConnections);
  fEnv.taskScheduler().turnOnBackgroundReadHandling(fSocket, fHandler, fClientData);
}

ConnectionAdmission::~ConnectionAdmission() {
  fEnv.taskScheduler().unscheduleDelayedTask(fResumeTask);
  fEnv.taskScheduler().turnOffBackgroundReadHandling(fSocket);
}

void ConnectionAdmission::setLimits(unsigned descriptorReserve, unsigned maxConnections) {
  fReserve = descriptorReserve;
  fCeiling = maxConnections;
  struct rlimit rl;
  uint64_t descriptors = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY ? rl.rlim_cur : UINT64_MAX;
  fLimit = limitFor(descriptors, descriptorReserve, maxConnections);
}

void ConnectionAdmission::pause() {
  if (fResumeTask != nullptr) return;
  fEnv.taskScheduler().turnOffBackgroundReadHandling(fSocket);
  fResumeTask = fEnv.taskScheduler().scheduleDelayedTask(kPauseMicroseconds, resumeTask, this);
}

void ConnectionAdmission::resumeTask(void* clientData) {
  auto* self = static_cast<ConnectionAdmission*>(clientData);
  self->fResumeTask = nullptr;
  self->fEnv.taskScheduler().turnOnBackgroundReadHandling(self->fSocket, self->fHandler, self->fClientData);
}
