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
#include <string>
#include <vector>

#include "BasicUsageEnvironment.hh"
#include "Credentials.hh"
#include "G711AudioServerMediaSubsession.hh"
#include "H264VideoServerMediaSubsession.hh"
#include "H265VideoServerMediaSubsession.hh"
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
constexpr int kVideoCodecH265 = 6;

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
  char* ipv6 = server.rtspURLsIPv6(sms);
  if (ipv6 != nullptr) {
    env << ipv6 << "\n";
    delete[] ipv6;
  }
}

// Stream k's name: the built-in one for the first, "ch02" and on for the others.
std::string streamNameOf(Settings const& settings, int k) {
  if (k == 0) return settings.streamName;
  char name[16];
  snprintf(name, sizeof name, "ch%02d", k + 1);
  return name;
}

// Creates stream 'name' over 'input', adds it to the server, announces its
// URL and adds its tracks. False when the stream cannot be created.
bool addStream(UsageEnvironment& env, RTSPServer* rtspServer, MediaInput* input, std::string const& name,
               bool plainRTSP) {
  ServerMediaSession* sms =
      ServerMediaSession::createNew(env, name.c_str(), nullptr, sessionDescription, False, nullptr);
  if (sms == nullptr) {
    env << "ServerMediaSession::createNew error!\n";
    return false;
  }
  rtspServer->addServerMediaSession(sms);

  printURLs(env, *rtspServer, sms, plainRTSP);

  addSubsessions(input, sms);
  return true;
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

int channelsSetting(char const* settingsFile, char const* elementPath, int maxChannels) {
  XmlConfig config;
  (void)config.load(settingsFile);  // a missing or broken file leaves the default
  if (config.find(elementPath) == nullptr) return 1;
  char const* text = config.getText(elementPath, "");
  char* end = nullptr;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || n < 1 || n > maxChannels) {
    fprintf(stderr, "Settings: %s is not a number from 1 to %d; serving 1 channel\n", elementPath, maxChannels);
    return 1;
  }
  return static_cast<int>(n);
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
  } else if (videoCodec == kVideoCodecH265) {
    session->addSubsession(H265VideoServerMediaSubsession::createNew(env, input, videoBitrate));
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
  int const channels = channelsSetting(settings.settingsFile, settings.channelsPath, settings.maxChannels);

  raiseDescriptorLimit();
  TaskScheduler* scheduler = BasicTaskScheduler::createNew(settings.schedulerGranularityUs);
  UsageEnvironment* env = BasicUsageEnvironment::createNew(*scheduler);

  RTSPServer* rtspServer = createServer(*env, settings, tlsContext);
  if (rtspServer == nullptr) {
    *env << "Failed to create RTSP server: " << env->getResultMsg() << "\n";
    exit(1);
  }
  // The bounds are the daemon's totals, whatever the streams.
  rtspServer->setConnectionLimits(
      settings.descriptorReserve + settings.descriptorReservePerExtraStream * static_cast<unsigned>(channels - 1),
      settings.maxConnections);
  rtspServer->setSessionLimits(settings.maxSessionsPerConnection, settings.maxSessions);

  std::vector<MediaInput*> mediaInputs;
  for (int k = 0; k < channels; ++k) {
    MediaInput* mediaInput = MediaInput::createNew(*env, settings.mediaInputChannel + k);
    if (mediaInput == nullptr) {
      *env << "ERROR: "
           << "Failed to create Media input device\n";
      exit(1);
    }
    mediaInputs.push_back(mediaInput);
  }

  // Every RTP sink and fragmenter sizes its buffers from this when it is created.
  OutPacketBuffer::maxSize = settings.outPacketBufferMaxSize;

  for (int k = 0; k < channels; ++k) {
    if (!addStream(*env, rtspServer, mediaInputs[static_cast<size_t>(k)], streamNameOf(settings, k), settings.plainRTSP))
      return -1;
  }
  setRealtimePriority(settings.realtimePriority);

  env->taskScheduler().doEventLoop();

  Medium::close(rtspServer);
  for (MediaInput* mediaInput : mediaInputs) Medium::close(mediaInput);
  env->reclaim();
  delete scheduler;
  return 0;
}
