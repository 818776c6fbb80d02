// The rules about who may use a session and what it may take, driven by
// arbitrary byte strings read as a script of operations on one connection and
// one server: sessions setting up and tearing down interleaved tracks
// (chooseInterleavedChannels), requests naming a session from some connection
// and address (sessionAccessFor), and failed Digest checks over time
// (AuthenticationThrottle).
//
// Checked besides memory safety: no two sessions of a connection ever share a
// channel; a requested pair is granted exactly when it is free, and a missing
// one refused only when no pair is free; a lone session gets 0-1, 2-3... for
// its tracks; only the session's own connection is served by the id alone,
// another address never; a connection's first challenge and requests without
// a guess are never delayed, its later failures always are, and answers to
// failures of all connections together never come faster than the budget.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "AuthenticationThrottle.hh"
#include "InterleavedChannels.hh"
#include "SessionAccess.hh"

namespace {

void check(bool condition) {
  if (!condition) __builtin_trap();
}

struct Script {
  uint8_t const* data;
  size_t size;
  size_t pos = 0;
  bool more() const { return pos < size; }
  uint8_t next() { return pos < size ? data[pos++] : 0; }
};

// Up to 8 sessions on one connection, each with up to 4 interleaved tracks.
struct Session {
  std::vector<InterleavedChannelPair> tracks;
};

InterleavedChannelSet takenBesides(std::array<Session, 8> const& sessions, size_t except) {
  InterleavedChannelSet taken;
  for (size_t i = 0; i < sessions.size(); ++i) {
    if (i == except) continue;
    for (InterleavedChannelPair const& p : sessions[i].tracks) taken.set(p.rtp).set(p.rtcp);
  }
  return taken;
}

void setupTrack(Script& s, std::array<Session, 8>& sessions) {
  size_t k = s.next() % sessions.size();
  bool hasRequest = s.next() & 1;
  InterleavedChannelPair want{s.next(), s.next()};
  InterleavedChannelSet taken = takenBesides(sessions, k);
  unsigned own = static_cast<unsigned>(sessions[k].tracks.size());
  InterleavedChannelPair chosen{7, 7};
  bool ok = chooseInterleavedChannels(taken, hasRequest ? &want : nullptr, own, chosen);
  bool anyFreePair = false;
  for (unsigned c = 0; c < 256; c += 2) anyFreePair = anyFreePair || (!taken.test(c) && !taken.test(c + 1));
  if (hasRequest) {
    check(ok == (!taken.test(want.rtp) && !taken.test(want.rtcp)));
    if (ok) check(chosen.rtp == want.rtp && chosen.rtcp == want.rtcp);
  } else {
    check(ok == anyFreePair);
    if (ok) check(chosen.rtp % 2 == 0 && chosen.rtcp == chosen.rtp + 1);
    if (taken.none()) check(ok && chosen.rtp == (2 * own) % 256);
  }
  if (!ok) {
    check(chosen.rtp == 7 && chosen.rtcp == 7);
    return;
  }
  check(!taken.test(chosen.rtp) && !taken.test(chosen.rtcp));
  if (sessions[k].tracks.size() < 4) sessions[k].tracks.push_back(chosen);
}

// Client addresses of both families, each with the host it stands for: a
// v4-mapped address is its IPv4 host, a link-local address on another
// interface is another host, and IPv4 and IPv6 of one machine are two.
struct FuzzAddress {
  NetAddress address;
  int host;
};
FuzzAddress fuzzAddress(unsigned k) {
  static char const* const kTexts[8] = {"10.0.0.5", "10.0.0.6", "::ffff:10.0.0.5", "fd00::5", "fe80::5",
                                        "fe80::5",  "::1",      "127.0.0.1"};
  static int const kHosts[8] = {0, 1, 0, 3, 4, 5, 6, 7};
  NetAddress a = NetAddress::fromText(kTexts[k]);
  if (k == 4 || k == 5) a = NetAddress(a.ipv6(), k - 3);  // interfaces 1 and 2
  return FuzzAddress{a, kHosts[k]};
}

void checkAccess(Script& s) {
  static int const connections[3] = {0, 0, 0};
  uint8_t a = s.next(), b = s.next();
  void const* opened = (a & 3) == 3 ? nullptr : &connections[a & 3];  // 3: its connection has closed
  void const* from = &connections[(b & 3) % 3];
  SessionOrigin session{opened, {}}, request{from, {}};
  FuzzAddress const sessionFrom = fuzzAddress((a >> 2) & 7), requestFrom = fuzzAddress((b >> 2) & 7);
  session.address = sessionFrom.address;
  request.address = requestFrom.address;
  bool credentials = b & 0x80;
  SessionAccess access = sessionAccessFor(session, request, credentials);
  if (opened == from) {
    check(access == SessionAccess::Granted);
  } else if (sessionFrom.host != requestFrom.host) {
    check(access == SessionAccess::Refused);
  } else {
    check(access == (credentials ? SessionAccess::NeedsDigest : SessionAccess::Granted));
  }
}

struct Throttling {
  AuthenticationThrottle throttle;
  std::array<AuthenticationThrottle::Connection, 4> connections;
  int64_t now = 1000000;
  int64_t firstFailure = -1;
  std::vector<int64_t> answers;  // when each failure of a guess was answered
};

void failCheck(Script& s, Throttling& t) {
  uint8_t op = s.next();
  t.now += static_cast<int64_t>(s.next()) * 1000;  // up to a quarter second later
  AuthenticationThrottle::Connection& c = t.connections[op & 3];
  bool carried = op & 4;
  bool first = c.challenges == 0;
  unsigned failuresBefore = c.failures;
  int64_t d = t.throttle.answerDelay(c, carried, t.now);
  if (first || !carried) {
    check(d == 0 && c.failures == failuresBefore);
    return;
  }
  check(c.failures == failuresBefore + 1);
  if (d == AuthenticationThrottle::kClose) {
    c = AuthenticationThrottle::Connection();  // that connection is gone; a new one takes its place
    return;
  }
  check(d >= 0 && d <= std::max(AuthenticationThrottle::kMaxWaitUs, AuthenticationThrottle::kConnectionFailureDelayUs));
  if (c.failures > AuthenticationThrottle::kFreeFailuresPerConnection) {
    check(d >= AuthenticationThrottle::kConnectionFailureDelayUs);
  }
  if (t.firstFailure < 0) t.firstFailure = t.now;
  t.answers.push_back(t.now + d);
}

void checkBudget(Throttling& t) {
  // The i-th answer (in time) comes no sooner than the budget allows.
  std::sort(t.answers.begin(), t.answers.end());
  int64_t const interval = 1000000 / AuthenticationThrottle::kFailuresPerSecond;
  for (size_t i = 0; i < t.answers.size(); ++i) {
    int64_t earliest =
        t.firstFailure +
        (static_cast<int64_t>(i) - static_cast<int64_t>(AuthenticationThrottle::kFailureBurst - 1)) * interval;
    check(t.answers[i] >= earliest);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  Script s{data, size};
  std::array<Session, 8> sessions;
  Throttling t;
  while (s.more()) {
    switch (s.next() % 4) {
      case 0:
        setupTrack(s, sessions);
        break;
      case 1:
        sessions[s.next() % sessions.size()].tracks.clear();  // TEARDOWN or reclamation
        break;
      case 2:
        checkAccess(s);
        break;
      default:
        failCheck(s, t);
        break;
    }
  }
  checkBudget(t);
  return 0;
}
