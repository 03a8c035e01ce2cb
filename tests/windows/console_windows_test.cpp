// The key wait when standard input is not a console: a pipe or a file gives its bytes
// as keys, NUL bytes passed over, and its end gives KEY_END_OF_INPUT for good. (Key
// events of a real console are tested through a terminal: console_keys_terminal.sh.)
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/console.h"

namespace {

// Makes a handle standard input for one test, and puts the old one back.
class StandardInputTest : public testing::Test {
  protected:
    void SetUp() override { saved_ = GetStdHandle(STD_INPUT_HANDLE); }
    void TearDown() override {
        SetStdHandle(STD_INPUT_HANDLE, saved_);
        if (installed_) {
            CloseHandle(installed_);
        }
    }
    void install(HANDLE handle) {
        installed_ = handle;
        SetStdHandle(STD_INPUT_HANDLE, handle);
    }

  private:
    HANDLE saved_ = nullptr;
    HANDLE installed_ = nullptr;
};

TEST_F(StandardInputTest, APipeGivesItsBytesWithoutNulsThenTheEnd) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    const std::string bytes("\0\0n\0\x1b\xe9", 6);
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(writeEnd, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(writeEnd);
    install(readEnd);

    EXPECT_EQ(waitKey(), 'n');
    EXPECT_EQ(waitKey(), 27);
    EXPECT_EQ(waitKey(), static_cast<char>(0xE9));  // above 127: negative as a char
    EXPECT_EQ(waitKey(), KEY_END_OF_INPUT);
    EXPECT_EQ(waitKey(), KEY_END_OF_INPUT);
}

TEST_F(StandardInputTest, TheNullDeviceEndsAtOnce) {
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    install(nul);
    EXPECT_EQ(waitKey(), KEY_END_OF_INPUT);
}

TEST_F(StandardInputTest, AFileGivesEachByteAsOneKey) {
    const std::string path = testing::TempDir() + "dovel_keys.txt";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "y\r\n", 3, &written, nullptr));
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    install(file);

    EXPECT_EQ(waitKey(), 'y');
    EXPECT_EQ(waitKey(), '\r');
    EXPECT_EQ(waitKey(), '\n');
    EXPECT_EQ(waitKey(), KEY_END_OF_INPUT);
}

TEST_F(StandardInputTest, NoStandardInputAtAllEndsTheWait) {
    SetStdHandle(STD_INPUT_HANDLE, nullptr);
    EXPECT_EQ(waitKey(), KEY_END_OF_INPUT);
}

}  // namespace
