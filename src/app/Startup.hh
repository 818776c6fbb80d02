#ifndef OSTRA_STARTUP_HH
#define OSTRA_STARTUP_HH

#include "DigestAuthentication.hh"
#include "Settings.hh"

class MediaInput;
class ServerMediaSession;

// Process-wide values set at run time.
extern UserAuthenticationDatabase* authDB;  // null: no authentication
extern int audioMode;                       // kAudioModeNone or kAudioModeG711
extern char* sessionDescription;            // "RTSP/RTP H.264 KVT", set during static initialisation

// The start-up sequence and the event loop: pid file, start delay,
// credentials, audio switch and number of channels, scheduler, RTSP server,
// one media input hub per channel, then for each channel its stream, its URL
// and its tracks, real-time priority, then the event loop, which does not
// return. Exits with status 1 when the RTSP server or the hub
// cannot be created; returns -1 when the stream cannot be created.
int runStartup(Settings const& settings = Settings());

// Reads the audio switch: true when 'elementPath' in the XML file holds an
// integer above 0.
bool audioSwitchOn(char const* settingsFile, char const* elementPath);

// Reads the number of channels: the integer at 'elementPath' in the XML
// file, from 1 to 'maxChannels'. A missing file or element gives 1; any other
// text or number gives 1 as well, with one line on standard error.
int channelsSetting(char const* settingsFile, char const* elementPath, int maxChannels);

// Adds the video track (by the video codec setting) and then, when audioMode
// says so, the audio track. Uses the settings the start-up runs with.
void addSubsessions(MediaInput* input, ServerMediaSession* session);
void addSubsessions(MediaInput* input, ServerMediaSession* session, int videoCodec, unsigned videoBitrate,
                    int audioMode);

// Asks for SCHED_RR at 'priority' for the calling thread; reports the
// outcome and goes on either way.
void setRealtimePriority(int priority);

#endif
