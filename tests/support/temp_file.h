// Files a test writes for the utility to read, removed when the test ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

struct TempFile {
    std::string path;

    explicit TempFile(const std::string& content) {
        static int serial = 0;
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        path = testing::TempDir() + "dovel_" + (test ? test->name() : "test") + "_" +
               std::to_string(++serial) + ".tek";
        for (char& c : path) {
            if (c == '/' && &c > path.data() + testing::TempDir().size() - 1) {
                c = '_';
            }
        }
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
