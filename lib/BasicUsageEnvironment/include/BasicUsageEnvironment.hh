#ifndef OSTRA_BASIC_USAGE_ENVIRONMENT_HH
#define OSTRA_BASIC_USAGE_ENVIRONMENT_HH

#include <string>

#include "BasicTaskScheduler.hh"
#include "UsageEnvironment.hh"

// The usage environment the daemon uses: text goes to standard error.
class BasicUsageEnvironment : public UsageEnvironment {
public:
  static BasicUsageEnvironment* createNew(TaskScheduler& scheduler);

  MsgString getResultMsg() const override;
  void setResultMsg(MsgString msg) override;
  void setResultMsg(MsgString msg1, MsgString msg2) override;
  void setResultMsg(MsgString msg1, MsgString msg2, MsgString msg3) override;
  void setResultErrMsg(MsgString msg, int err = 0) override;
  void appendToResultMsg(MsgString msg) override;
  void reportBackgroundError() override;

  UsageEnvironment& operator<<(char const* str) override;
  UsageEnvironment& operator<<(int i) override;
  UsageEnvironment& operator<<(unsigned u) override;
  UsageEnvironment& operator<<(long l) override;
  UsageEnvironment& operator<<(unsigned long u) override;
  UsageEnvironment& operator<<(double d) override;
  UsageEnvironment& operator<<(void* p) override;

protected:
  explicit BasicUsageEnvironment(TaskScheduler& scheduler);
  ~BasicUsageEnvironment() override;

private:
  std::string fResultMsg;
};

#endif
