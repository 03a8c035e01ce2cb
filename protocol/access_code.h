// The controllers' access code: five 16-bit words, built at run time from the byte
// constants the build was configured with.
#pragma once

#include <cstdint>

constexpr int ACCESS_CODE_WORDS = 5;

uint16_t accessCodeWord(int index);
