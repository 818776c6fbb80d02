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
        const char* made = mkdtemp(pattern);
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
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return fPath; }
    std::string file(const std::string& name) const { return fPath + "/" + name; }

private:
    std::string fPath;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#endif
