// SETUP of RTP/SAVP: the client's SRTCP key from its KeyMgmt header, and the
// stream key its description offered.
#include <cstring>

#include "MikeyMessage.hh"
#include "RTSPRequestHandler.hh"

bool RTSPRequestHandler::negotiateSRTP(RTSPRequest const& req, ServerMediaSubsession const* track,
                                       ServerMediaSubsession::ClientTransport& transport) {
  // Keys travel only inside TLS: over plain RTSP there is no SRTP.
  if (!OSTRA_SRTP || !fOrigin.mediaOnConnectionOnly) {
    sendSimpleResponse("461 Unsupported Transport", req.cseq);
    return false;
  }
  std::string mikey;
  MikeySRTPKey clientKey;
  if (!req.hasKeyMgmt || !parseKeyMgmtHeader(req.keyMgmt, mikey) ||
      !parseMikeyMessage(reinterpret_cast<unsigned char const*>(mikey.data()), mikey.size(), clientKey)) {
    sendSimpleResponse("463 Key Management Failure", req.cseq);
    return false;
  }
  auto offered = fSRTPOffers.find(track);
  transport.secure = True;
  transport.offeredKeyId = offered != fSRTPOffers.end() ? offered->second : 0;
  static_assert(sizeof transport.clientMasterKey == MikeySRTPKey::kMasterSize, "a master key and salt");
  std::memcpy(transport.clientMasterKey, clientKey.master, sizeof transport.clientMasterKey);
  return true;
}
