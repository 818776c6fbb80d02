#ifndef OSTRA_REAL_MEDIA_SOURCE_HH
#define OSTRA_REAL_MEDIA_SOURCE_HH

#include "FramedSource.hh"
#include "NetAddress.hh"

class MediaInput;

// A frame source over one loopback TCP connection to the local producer.
// Every read request arms the socket with the scheduler; the readable event
// receives once and delivers exactly those bytes, time-stamped with the wall
// clock. Created only by the MediaInput hub, destroyed only by the library
// filter that reads it (through Medium::close).
class RealMediaSource : public FramedSource {
public:
  // The connected socket, or -1 when the source has no connection.
  int fileNo() const { return fFileNo; }

protected:
  RealMediaSource(UsageEnvironment& env, MediaInput* input);
  ~RealMediaSource() override;

  // Connects to 127.0.0.1:'port' (blocking); the socket, or -1 after
  // reporting the failure.
  int mediaConnect(portNumBits port);

  void doGetNextFrame() override;
  static void incomingDataHandler(void* clientData, int mask);
  // Receives one chunk and delivers it (or reports closure).
  virtual void readFromFile() = 0;

  // The common body of readFromFile(); 'errorLine' is written to standard
  // error when the producer has closed the connection or the receive failed.
  void receiveChunk(char const* errorLine);
  // Disarms and closes the socket, if any.
  void closeConnection();

  MediaInput* fInput;
  int fFileNo = -1;
};

#endif
