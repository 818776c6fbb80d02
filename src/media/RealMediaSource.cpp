#include "RealMediaSource.hh"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "UsageEnvironment.hh"

namespace {
constexpr int kReceiveBufferBytes = 2097152;  // lets the producer run ahead of a busy event loop
}

RealMediaSource::RealMediaSource(UsageEnvironment& env, MediaInput* input) : FramedSource(env), fInput(input) {}

RealMediaSource::~RealMediaSource() = default;

int RealMediaSource::mediaConnect(portNumBits port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    printf("err mediaConnect s:%d\n", s);
    return -1;
  }

  struct timeval sendTimeout {};
  sendTimeout.tv_sec = 1;
  sendTimeout.tv_usec = 0;
  (void)setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);

  int receiveBuffer = kReceiveBufferBytes;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer) < 0) perror("setsockopt");

  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = inet_addr("127.0.0.1");
  addr.sin_port = htons(port);
  if (connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) < 0) {
    fputs("RealMediaSource::mediaConnect connect() error!\n", stderr);
    ::close(s);
    return -1;
  }
  return s;
}

void RealMediaSource::doGetNextFrame() {
  fFrameSize = 0;
  if (fFileNo < 0) {
    fputs("RealMediaSource::doGetNextFrame not fFileNo!\n", stderr);
    handleClosure();
    exit(-1);
  }
  envir().taskScheduler().setBackgroundHandling(fFileNo, SOCKET_READABLE, incomingDataHandler, this);
}

void RealMediaSource::incomingDataHandler(void* clientData, int /*mask*/) {
  RealMediaSource* source = static_cast<RealMediaSource*>(clientData);
  if (source->fFileNo < 0) {
    source->handleClosure();
  } else {
    source->readFromFile();
  }
}

void RealMediaSource::receiveChunk(char const* errorLine) {
  // One arming yields at most one receive.
  envir().taskScheduler().setBackgroundHandling(fFileNo, 0, nullptr, nullptr);

  ssize_t n = recv(fFileNo, fTo, fMaxSize, 0);
  if (n <= 0) {
    fputs(errorLine, stderr);
    fFrameSize = 0;
    fNumTruncatedBytes = 0;
    handleClosure();  // the socket stays open until the source is destroyed
    return;
  }

  gettimeofday(&fPresentationTime, nullptr);
  unsigned got = static_cast<unsigned>(n);
  fFrameSize += got;
  fTo += got;
  fMaxSize -= got;
  FramedSource::afterGetting(this);
}

void RealMediaSource::closeConnection() {
  if (fFileNo >= 0) {
    envir().taskScheduler().setBackgroundHandling(fFileNo, 0, nullptr, nullptr);
    ::close(fFileNo);
    fFileNo = -1;
  }
}
