#include "Startup.hh"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "BasicUsageEnvironment.hh"
#include "Credentials.hh"
#include "G711AudioServerMediaSubsession.hh"
#include "H264VideoServerMediaSubsession.hh"
#include "MPEG4VideoServerMediaSubsession.hh"
#include "MediaInput.hh"
#include "OutPacketBuffer.hh"
#include "RTSPServer.hh"
#include "ServerMediaSession.hh"
#include "XmlConfig.hh"
#if OSTRA_TLS
#include "TLSContext.hh"
#endif

UserAuthenticationDatabase* authDB = nullptr;
int audioMode = kAudioModeNone;
char* sessionDescription = strDup("RTSP/RTP H.264 KVT");

namespace {

constexpr int kVideoCodecMPEG4 = 4;
constexpr int kVideoCodecH264 = 5;

// The settings of the running start-up; the built-in ones until then.
Settings gSettings;

void sleepMs(unsigned ms) {
  struct timespec ts {};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

// Lets the process open as many descriptors as it is allowed to; the RTSP
// server sizes its connection limit from this. Nothing is said on failure:
// the limit in force stays, and the server sizes itself to that.
void raiseDescriptorLimit() {
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == rl.rlim_max) return;
  rl.rlim_cur = rl.rlim_max;
  (void)setrlimit(RLIMIT_NOFILE, &rl);
}

#if OSTRA_TLS
// The TLS context from the certificate file, looked for once: none when the
// file is absent; one line on standard error when it is there but unusable.
std::unique_ptr<TLSContext> loadTLSContext(char const* pemFile) {
  char const* problem = nullptr;
  std::unique_ptr<TLSContext> tls = TLSContext::createNew(pemFile, problem);
  if (problem != nullptr) fprintf(stderr, "TLS certificate file %s: %s; no TLS port\n", pemFile, problem);
  return tls;
}
#endif

// The RTSP server on the plain port and, with a TLS context, the TLS port
// too (or, built TLS only, the TLS port alone); null when it cannot be made.
RTSPServer* createServer(UsageEnvironment& env, Settings const& settings, TLSContext const* tls) {
  if (!settings.plainRTSP) {
    if (tls == nullptr) {
      env.setResultMsg("TLS only, and no usable certificate");
      return nullptr;
    }
    return RTSPServer::createNew(env, Port(settings.tlsPort), authDB, settings.reclamationSeconds, tls);
  }
  RTSPServer* server = RTSPServer::createNew(env, Port(settings.rtspPort), authDB, settings.reclamationSeconds);
  if (server != nullptr && tls != nullptr && !server->addTLSPort(Port(settings.tlsPort), tls)) {
    env << "No TLS port: " << env.getResultMsg() << "\n";
  }
  return server;
}

void printURLs(UsageEnvironment& env, RTSPServer& server, ServerMediaSession* sms, bool plain) {
  char* url = server.rtspURL(sms, -1);
  env << "Play this stream using the URL:\n" << url << "\n";
  if (url != nullptr) delete[] url;
  char* secure = plain ? server.rtspsURL(sms) : nullptr;
  if (secure != nullptr) {
    env << secure << "\n";
    delete[] secure;
  }
}

void writePidFile(char const* path) {
  FILE* f = fopen(path, "w+");
  if (f == nullptr) return;  // start-up goes on without a word
  fprintf(f, "%d\n", static_cast<int>(getpid()));
  fclose(f);
}

}  // namespace

bool audioSwitchOn(char const* settingsFile, char const* elementPath) {
  XmlConfig config;
  (void)config.load(settingsFile);  // a missing or broken file leaves the default
  return config.getInt(elementPath, 0) > 0;
}

void addSubsessions(MediaInput* input, ServerMediaSession* session) {
  addSubsessions(input, session, gSettings.videoCodec, gSettings.videoBitrate, audioMode);
}

void addSubsessions(MediaInput* input, ServerMediaSession* session, int videoCodec, unsigned videoBitrate, int audio) {
  UsageEnvironment& env = session->envir();
  if (videoCodec == kVideoCodecMPEG4) {
    session->addSubsession(MPEG4VideoServerMediaSubsession::createNew(env, input, videoBitrate));
  } else if (videoCodec == kVideoCodecH264) {
    session->addSubsession(H264VideoServerMediaSubsession::createNew(env, input, videoBitrate));
  }
  if (audio == kAudioModeG711) session->addSubsession(G711AudioServerMediaSubsession::createNew(env, input));
}

void setRealtimePriority(int priority) {
  struct sched_param param {};
  param.sched_priority = priority;
  int err = pthread_setschedparam(pthread_self(), SCHED_RR, &param);
  if (err == 0) {
    printf("Thread set to SCHED_RR with priority %d\n", priority);
  } else {
    errno = err;
    perror("pthread_setschedparam failed");
  }
}

int runStartup(Settings const& settings) {
  gSettings = settings;
  // The scheduling line must reach a pipe or log file at once.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  writePidFile(settings.pidFile);
  sleepMs(settings.startDelayMs);

  authDB = loadCredentials(settings.credentialsFile, settings.credentialsAttempts, settings.credentialsRetryMs);
#if OSTRA_TLS
  std::unique_ptr<TLSContext> tls = loadTLSContext(settings.tlsCertificateFile);
  TLSContext const* tlsContext = tls.get();
#else
  TLSContext const* tlsContext = nullptr;
#endif

  if (audioSwitchOn(settings.settingsFile, settings.audioSwitchPath)) audioMode = kAudioModeG711;

  raiseDescriptorLimit();
  TaskScheduler* scheduler = BasicTaskScheduler::createNew(settings.schedulerGranularityUs);
  UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);

  RTSPServer* rtspServer = createServer(*env, settings, tlsContext);
  if (rtspServer == nullptr) {
    *env << "Failed to create RTSP server: " << env->getResultMsg() << "\n";
    exit(1);
  }
  rtspServer->setConnectionLimits(settings.descriptorReserve, settings.maxConnections);
  rtspServer->setSessionLimits(settings.maxSessionsPerConnection, settings.maxSessions);

  MediaInput* mediaInput = MediaInput::createNew(*env, settings.mediaInputChannel);
  if (mediaInput == nullptr) {
    *env << "ERROR: "
         << "Failed to create Media input device\n";
    exit(1);
  }

  // Every RTP sink and fragmenter sizes its buffers from this when it is created.
  OutPacketBuffer::maxSize = settings.outPacketBufferMaxSize;

  ServerMediaSession* sms =
      ServerMediaSession::createNew(*env, settings.streamName, nullptr, sessionDescription, False, nullptr);
  if (sms == nullptr) {
    *env << "ServerMediaSession::createNew error!\n";
    return -1;
  }
  rtspServer->addServerMediaSession(sms);

  printURLs(*env, *rtspServer, sms, settings.plainRTSP);

  addSubsessions(mediaInput, sms);
  setRealtimePriority(settings.realtimePriority);

  env->taskScheduler().doEventLoop();

  Medium::close(rtspServer);
  Medium::close(mediaInput);
  env->reclaim();
  delete scheduler;
  return 0;
}
