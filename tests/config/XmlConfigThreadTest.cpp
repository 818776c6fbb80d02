// Two threads, each with its own store, resolve paths at the same time. Path
// splitting keeps process-wide state, so without the shared path lock one
// thread's walk would pick up the other's components.
#include "XmlConfig.hh"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

struct WorkerResult {
  int failures = 0;
  std::string firstFailure;
};

void fail(WorkerResult& result, std::string const& what) {
  if (result.failures++ == 0) result.firstFailure = what;
}

// Every path of a worker uses names that the other worker's store does not
// hold, so any mixing of the two walks shows up as a wrong or missing value.
void work(char const* prefix, int rounds, std::atomic<int>& ready, WorkerResult& result) {
  XmlConfig config;
  char path[128];
  char other[128];

  ready.fetch_add(1);
  while (ready.load() < 2) std::this_thread::yield();

  for (int i = 0; i < rounds; ++i) {
    int const slot = i % 16;
    snprintf(path, sizeof path, "//%s_root/%s_group%d//%s_value%d/", prefix, prefix, slot % 4, prefix, slot);
    if (config.setInt(path, i) != 0) fail(result, std::string("setInt refused ") + path);
    if (config.getInt(path, -1) != i) fail(result, std::string("getInt wrong at ") + path);

    TiXmlNode* node = config.find(path);
    if (node == nullptr || std::string(node->Value()) != std::string(prefix) + "_value" + std::to_string(slot))
      fail(result, std::string("find wrong at ") + path);

    snprintf(other, sizeof other, "/%s_root/%s_text", prefix, prefix);
    if (config.setText(other, path) != 0) fail(result, std::string("setText refused ") + other);
    char const* text = config.getText(other);
    if (text == nullptr || std::string(text) != path) fail(result, std::string("getText wrong at ") + other);

    if (i % 64 == 63) {
      config.remove(other);
      if (config.find(other) != nullptr) fail(result, std::string("remove missed ") + other);
    }
  }

  // The tree holds exactly the elements this worker made: one root with
  // four groups of four values (and perhaps the text element).
  TiXmlNode* root = config.document()->FirstChild();
  if (root == nullptr || root->NextSibling() != nullptr) fail(result, "top level holds other than one root");
  int values = 0;
  for (int g = 0; g < 4; ++g) {
    for (int s = g; s < 16; s += 4) {
      snprintf(path, sizeof path, "/%s_root/%s_group%d/%s_value%d", prefix, prefix, g, prefix, s);
      if (config.find(path) != nullptr) ++values;
    }
  }
  if (values != 16) fail(result, "values missing: " + std::to_string(values));
  int elements = 0;
  for (TiXmlNode* group = root ? root->FirstChild() : nullptr; group != nullptr; group = group->NextSibling())
    ++elements;
  if (elements != 4 && elements != 5) fail(result, "root holds " + std::to_string(elements) + " children");
}

TEST(XmlConfigThreads, TwoStoresResolvePathsIndependently) {
  int const rounds = 20000;
  std::atomic<int> ready{0};
  WorkerResult a;
  WorkerResult b;
  std::thread first(work, "alpha", rounds, std::ref(ready), std::ref(a));
  std::thread second(work, "beta", rounds, std::ref(ready), std::ref(b));
  first.join();
  second.join();
  EXPECT_EQ(a.failures, 0) << a.firstFailure;
  EXPECT_EQ(b.failures, 0) << b.firstFailure;
}

}  // namespace
