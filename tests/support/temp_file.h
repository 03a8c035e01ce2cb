// Files a test writes for the utility to read, removed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <process.h>
#define DOVEL_PROCESS_ID _getpid
#else
#include <unistd.h>
#define DOVEL_PROCESS_ID getpid
#endif

// A path in the test folder that no other test, nor the same test run by another test
// program at the same time, uses.
inline std::string uniqueTempPath(const std::string& stem) {
    static int serial = 0;
    std::string name = stem;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (test != nullptr) {
        name += std::string("_") + test->name();
    }
    for (char& c : name) {
        if (c == '/' || c == '\\') {
            c = '_';
        }
    }
    return testing::TempDir() + name + "_" + std::to_string(DOVEL_PROCESS_ID()) + "_" +
           std::to_string(++serial) + ".tek";
}

struct TempFile {
    std::string path;

    explicit TempFile(const std::string& content) : path(uniqueTempPath("dovel")) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file != nullptr) {
            std::fwrite(content.data(), 1, content.size(), file);
            std::fclose(file);
        }
    }
    ~TempFile() { std::remove(path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};
