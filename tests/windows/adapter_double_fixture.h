// Tests over the pcan-usb backend with the adapter library's test double: each test
// loads the double afresh with its own script and reads back what it was called with.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "can/can_backend.h"
#include "can/pcan_usb_backend.h"
#include "tests/windows/double_script.h"

inline std::string windowsTestPath(const std::string& relative) {
    return std::string(DOVEL_WINDOWS_TEST_DIR) + "/" + relative;
}

class AdapterDoubleTest : public testing::Test {
  protected:
    // Loads the library from path ("" for the usual search) with the double's script.
    void useDouble(const std::string& script, const std::string& path = "") {
        static int serial = 0;
        logPath_ = testing::TempDir() + "adapter_double_" + std::to_string(GetCurrentProcessId()) +
                   "_" + std::to_string(++serial) + ".log";
        DeleteFileA(logPath_.c_str());
        const std::string full = script + (script.empty() ? "" : ";") + "log=" + logPath_;
        SetEnvironmentVariableA(DOUBLE_SCRIPT_VARIABLE, full.c_str());
        canUseBackend(pcanUsbOpenBackend(path.c_str()));
    }

    void TearDown() override {
        canUseBackend(nullptr);
        pcanUsbOpenBackend("");  // unloads the double, so the next test starts afresh
        SetEnvironmentVariableA(DOUBLE_SCRIPT_VARIABLE, nullptr);
        if (!logPath_.empty()) {
            DeleteFileA(logPath_.c_str());
        }
    }

    // The calls the double saw, one line each, reads left out.
    std::vector<std::string> calls() const {
        std::ifstream in(logPath_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    std::string logPath_;
};
