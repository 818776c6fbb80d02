#ifndef OSTRA_LIVE_MEDIA_HH
#define OSTRA_LIVE_MEDIA_HH

// Everything the daemon uses from the media library.
#include "DigestAuthentication.hh"
#include "FramedFilter.hh"
#include "FramedSource.hh"
#include "H264VideoRTPSink.hh"
#include "H264VideoStreamFramer.hh"
#include "H265VideoStreamFramer.hh"
#include "MPEG4ESVideoRTPSink.hh"
#include "MPEG4VideoStreamDiscreteFramer.hh"
#include "Media.hh"
#include "MediaSink.hh"
#include "MediaSource.hh"
#include "MultiFramedRTPSink.hh"
#include "OnDemandServerMediaSubsession.hh"
#include "OutPacketBuffer.hh"
#include "RTCP.hh"
#include "RTPSink.hh"
#include "RTSPServer.hh"
#include "ServerMediaSession.hh"
#include "ServerMediaSubsession.hh"
#include "SimpleRTPSink.hh"
#include "liveMedia_version.hh"
#include "uLawAudioFilter.hh"

#endif
