#include "Media.hh"

#include <cstdio>
#include <string>
#include <unordered_map>

namespace {

// The media registered in one environment, by name.
struct MediaLookupTable {
  std::unordered_map<std::string, Medium*> byName;
  unsigned nameCounter = 0;

  static MediaLookupTable* ourMedia(UsageEnvironment& env, bool create) {
    auto* table = static_cast<MediaLookupTable*>(env.liveMediaPriv);
    if (table == nullptr && create) {
      table = new MediaLookupTable;
      env.liveMediaPriv = table;
    }
    return table;
  }
  // Frees the table once empty, so the environment can be reclaimed.
  static void releaseIfEmpty(UsageEnvironment& env) {
    auto* table = static_cast<MediaLookupTable*>(env.liveMediaPriv);
    if (table != nullptr && table->byName.empty()) {
      delete table;
      env.liveMediaPriv = nullptr;
    }
  }
};

}  // namespace

Medium::Medium(UsageEnvironment& env) : fEnviron(env) {
  MediaLookupTable* table = MediaLookupTable::ourMedia(env, true);
  std::snprintf(fMediumName, sizeof fMediumName, "liveMedia%u", table->nameCounter++);
  table->byName.emplace(fMediumName, this);
}

Medium::~Medium() {
  // Normally close() has already unregistered us; this covers direct deletion
  // by a subclass's own factory on failure.
  MediaLookupTable* table = MediaLookupTable::ourMedia(fEnviron, false);
  if (table != nullptr) {
    auto it = table->byName.find(fMediumName);
    if (it != table->byName.end() && it->second == this) table->byName.erase(it);
    MediaLookupTable::releaseIfEmpty(fEnviron);
  }
}

Boolean Medium::lookupByName(UsageEnvironment& env, char const* mediumName, Medium*& resultMedium) {
  resultMedium = nullptr;
  MediaLookupTable* table = MediaLookupTable::ourMedia(env, false);
  if (mediumName != nullptr && table != nullptr) {
    auto it = table->byName.find(mediumName);
    if (it != table->byName.end()) resultMedium = it->second;
  }
  if (resultMedium == nullptr) {
    env.setResultMsg("Medium ", mediumName, " does not exist");
    return False;
  }
  return True;
}

void Medium::close(UsageEnvironment& env, char const* mediumName) {
  Medium* medium;
  if (lookupByName(env, mediumName, medium)) close(medium);
}

void Medium::close(Medium* medium) {
  if (medium == nullptr) return;
  UsageEnvironment& env = medium->envir();
  MediaLookupTable* table = MediaLookupTable::ourMedia(env, false);
  if (table != nullptr) {
    auto it = table->byName.find(medium->fMediumName);
    if (it != table->byName.end() && it->second == medium) table->byName.erase(it);
  }
  // The destructor may close further media (a filter closes its input), which
  // needs the table, so release it only afterwards.
  delete medium;
  MediaLookupTable::releaseIfEmpty(env);
}

unsigned numRegisteredMedia(UsageEnvironment& env) {
  MediaLookupTable* table = MediaLookupTable::ourMedia(env, false);
  return table == nullptr ? 0 : static_cast<unsigned>(table->byName.size());
}

Boolean Medium::isSource() const { return False; }
Boolean Medium::isSink() const { return False; }
Boolean Medium::isRTCPInstance() const { return False; }
Boolean Medium::isRTSPServer() const { return False; }
Boolean Medium::isMediaSession() const { return False; }
Boolean Medium::isServerMediaSession() const { return False; }
