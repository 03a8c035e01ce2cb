// DOVEL_EXPECT_VERS: the version a release promises, which the final check and --status
// compare with what each controller runs.
#pragma once

#include "protocol/dovel_check.h"

// Takes a version as VERS is printed: hexadecimal, with or without 0x (or 0X), digits of
// either case, up to 8 of them. nullptr or empty: not given, and true. False when the
// text is malformed (no hex digits, "0x" alone, a character that is no hex digit, more
// than 8 digits); *out is then untouched.
bool parseExpectedVersion(const char* text, ExpectedVersion* out);
