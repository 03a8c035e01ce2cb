#include "app/expected_version.h"

namespace {

constexpr int MOST_VERSION_DIGITS = 8;
constexpr int HEX_RADIX = 16;
constexpr int DECIMAL_DIGITS = 10;

// The value of a hex digit, or -1.
int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + DECIMAL_DIGITS;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + DECIMAL_DIGITS;
    }
    return -1;
}

}  // namespace

bool parseExpectedVersion(const char* text, ExpectedVersion* out) {
    if (text == nullptr || *text == '\0') {
        *out = ExpectedVersion{false, 0};
        return true;
    }
    const char* digits = text;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits += 2;
    }
    uint32_t value = 0;
    int count = 0;
    for (; *digits != '\0'; ++digits, ++count) {
        const int digit = hexDigit(*digits);
        if (digit < 0 || count == MOST_VERSION_DIGITS) {
            return false;
        }
        value = value * HEX_RADIX + static_cast<uint32_t>(digit);
    }
    if (count == 0) {
        return false;
    }
    *out = ExpectedVersion{true, value};
    return true;
}
