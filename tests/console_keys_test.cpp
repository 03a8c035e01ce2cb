#include "app/console_keys.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct RecordCase {
    const char* name;
    ConsoleKeyRecord record;
    char expected;
};

class ConsoleRecordTest : public testing::TestWithParam<RecordCase> {};

TEST_P(ConsoleRecordTest, MapsTheRecordToItsKey) {
    EXPECT_EQ(keyFromConsoleRecord(GetParam().record), GetParam().expected);
}

constexpr uint32_t SHIFT = CONSOLE_SHIFT_PRESSED;
constexpr uint32_t LEFT_CTRL = 0x0008;

INSTANTIATE_TEST_SUITE_P(
    Records, ConsoleRecordTest,
    testing::Values(RecordCase{"LetterPress", {true, true, 'y', 0}, 'y'},
                    RecordCase{"ShiftN", {true, true, 'N', SHIFT}, 'N'},
                    RecordCase{"ShiftAlone", {true, true, 0, SHIFT}, 0},
                    RecordCase{"Release", {true, false, 'y', 0}, 0},
                    RecordCase{"MouseOrResize", {false, true, 'y', 0}, 0},
                    RecordCase{"Tab", {true, true, 9, 0}, 9},
                    RecordCase{"ShiftTab", {true, true, 9, SHIFT}, 10},
                    RecordCase{"Enter", {true, true, 13, 0}, 13},
                    RecordCase{"ShiftEnter", {true, true, 13, SHIFT | LEFT_CTRL}, 14},
                    RecordCase{"EscapeWithShift", {true, true, 27, SHIFT}, 27},
                    RecordCase{"CtrlTabIsStillTab", {true, true, 9, LEFT_CTRL}, 9},
                    RecordCase{"HighCharacterIsNegative",
                               {true, true, static_cast<char>(0xE9), 0},
                               static_cast<char>(0xE9)}),
    [](const testing::TestParamInfo<RecordCase>& info) { return info.param.name; });

struct TerminalCase {
    const char* name;
    std::string bytes;
    bool moreMayFollow;
    int expected;
};

class TerminalKeyTest : public testing::TestWithParam<TerminalCase> {};

TEST_P(TerminalKeyTest, DecodesWhatTheTerminalSent) {
    const TerminalCase& c = GetParam();
    EXPECT_EQ(decodeTerminalKey(reinterpret_cast<const unsigned char*>(c.bytes.data()),
                                static_cast<int>(c.bytes.size()), c.moreMayFollow),
              c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, TerminalKeyTest,
    testing::Values(TerminalCase{"Letter", "n", true, 'n'}, TerminalCase{"Enter", "\r", true, 13},
                    TerminalCase{"Space", " ", true, ' '},
                    TerminalCase{"ShiftTab", "\x1b[Z", true, 10},
                    TerminalCase{"ArrowUp", "\x1b[A", true, 0},
                    TerminalCase{"FunctionKeyF5", "\x1b[15~", true, 0},
                    TerminalCase{"FunctionKeyF1", "\x1bOP", true, 0},
                    TerminalCase{"ShiftArrow", "\x1b[1;2C", true, 0},
                    TerminalCase{"SequenceNotDoneYet", "\x1b[1;2", true, TERMINAL_KEY_INCOMPLETE},
                    TerminalCase{"EscapeMayBeginASequence", "\x1b", true, TERMINAL_KEY_INCOMPLETE},
                    TerminalCase{"LoneEscape", "\x1b", false, 27},
                    TerminalCase{"CutOffSequence", "\x1b[1", false, 0},
                    TerminalCase{"AltLetter", "\x1bx", true, 'x'},
                    TerminalCase{"BrokenSequenceSwallowed", "\x1b[1\x01", true, 0},
                    TerminalCase{"NulProducesNoCharacter", std::string(1, '\0'), true, 0},
                    TerminalCase{"LatinOneByteAlone", "\xe9", false, static_cast<char>(0xE9)},
                    TerminalCase{"Utf8LeadAwaitsItsRest", "\xc3", true, TERMINAL_KEY_INCOMPLETE},
                    TerminalCase{"Utf8TwoBytesOneKey", "\xc3\xa9", true, static_cast<char>(0xC3)},
                    TerminalCase{"Utf8ThreeBytesOneKey", "\xe2\x82\xac", true,
                                 static_cast<char>(0xE2)},
                    TerminalCase{"OverlongSequenceEnds", "\x1b[111111111111111111111", true, 0}),
    [](const testing::TestParamInfo<TerminalCase>& info) { return info.param.name; });

}  // namespace
