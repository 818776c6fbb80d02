// ostra: serves the local producer's camera and microphone as the live RTSP
// stream "ch01". Takes no arguments and reads no environment; runs until it
// is killed.
//
// Placeholder until the RTSP server and the framers of the streaming library
// are in the tree: the start-up sequence lives in Startup.cpp.
#include <cstdio>

int main(int /*argc*/, char** /*argv*/) {
  fputs("ostra: streaming library not complete yet\n", stderr);
  return 1;
}
