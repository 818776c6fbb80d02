// ostra: serves the local producer's camera and microphone as the live RTSP
// stream "ch01". Takes no arguments and reads no environment; runs until it
// is killed.
#include "Settings.hh"
#include "Startup.hh"

int main(int /*argc*/, char** /*argv*/) { return runStartup(Settings()); }
