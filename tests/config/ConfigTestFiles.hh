// Scratch directory and file helpers for the configuration store tests.
#ifndef OSTRA_TESTS_CONFIG_TEST_FILES_HH
#define OSTRA_TESTS_CONFIG_TEST_FILES_HH

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

// A fresh directory under /tmp, removed with its content at the end of the test.
class ScratchDir {
public:
  ScratchDir() {
    char pattern[] = "/tmp/ostra-config-XXXXXX";
    char const* made = mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    if (made != nullptr) fPath = made;
  }
  ~ScratchDir() {
    if (!fPath.empty()) {
      std::string command = "rm -rf '" + fPath + "'";
      int rc = system(command.c_str());
      (void)rc;
    }
  }
  ScratchDir(ScratchDir const&) = delete;
  ScratchDir& operator=(ScratchDir const&) = delete;

  std::string const& path() const { return fPath; }
  std::string file(std::string const& name) const { return fPath + "/" + name; }

private:
  std::string fPath;
};

inline void writeFile(std::string const& path, std::string const& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string readFile(std::string const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
