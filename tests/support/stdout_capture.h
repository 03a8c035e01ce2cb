// Standard output of a piece of the utility, as text.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

inline void beginStdoutCapture() { testing::internal::CaptureStdout(); }

inline std::string endStdoutCapture() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}
