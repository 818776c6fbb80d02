#include "BasicUsageEnvironment.hh"

#include <cerrno>
#include <cstdio>
#include <cstring>

BasicUsageEnvironment* BasicUsageEnvironment::createNew(TaskScheduler& scheduler) {
  return new BasicUsageEnvironment(scheduler);
}

BasicUsageEnvironment::BasicUsageEnvironment(TaskScheduler& scheduler) : UsageEnvironment(scheduler) {}

BasicUsageEnvironment::~BasicUsageEnvironment() = default;

UsageEnvironment::MsgString BasicUsageEnvironment::getResultMsg() const { return fResultMsg.c_str(); }

void BasicUsageEnvironment::setResultMsg(MsgString msg) { fResultMsg = msg ? msg : ""; }

void BasicUsageEnvironment::setResultMsg(MsgString msg1, MsgString msg2) {
  setResultMsg(msg1);
  appendToResultMsg(msg2);
}

void BasicUsageEnvironment::setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) {
  setResultMsg(msg1, msg2);
  appendToResultMsg(msg3);
}

void BasicUsageEnvironment::setResultErrMsg(MsgString msg, int err) {
  if (err == 0) err = errno;
  setResultMsg(msg);
  appendToResultMsg(std::strerror(err));
}

void BasicUsageEnvironment::appendToResultMsg(MsgString msg) {
  if (msg != nullptr) fResultMsg += msg;
}

void BasicUsageEnvironment::reportBackgroundError() { std::fputs(getResultMsg(), stderr); }

UsageEnvironment& BasicUsageEnvironment::operator<<(char const* str) {
  std::fputs(str == nullptr ? "(NULL)" : str, stderr);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(int i) {
  std::fprintf(stderr, "%d", i);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(unsigned u) {
  std::fprintf(stderr, "%u", u);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(long l) {
  std::fprintf(stderr, "%ld", l);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(unsigned long u) {
  std::fprintf(stderr, "%lu", u);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(double d) {
  std::fprintf(stderr, "%f", d);
  return *this;
}

UsageEnvironment& BasicUsageEnvironment::operator<<(void* p) {
  std::fprintf(stderr, "%p", p);
  return *this;
}
