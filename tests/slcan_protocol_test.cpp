// The serial-line CAN protocol as text: options, the frame command, every answer kind,
// lines cut across reads, a line too long, a BEL, and each status flag.
#include "can/slcan_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct OptionCase {
    const char* options;
    int result;
    const char* port;
    uint32_t baud;
};

TEST(SlcanOptions, TakesPortAndBaud) {
    const std::string longPort(SLCAN_MAX_PORT_LENGTH + 1, 'p');
    const OptionCase cases[] = {
        {"/dev/ttyACM0", 0, "/dev/ttyACM0", SLCAN_DEFAULT_BAUD},
        {"COM5@9600", 0, "COM5", 9600},
        {"COM10@4000000", 0, "COM10", 4000000},
        {"COM5@1", 0, "COM5", 1},
        {"", 1, "", 0},
        {"@115200", 1, "", 0},
        {"COM5@", 1, "", 0},
        {"COM5@0", 1, "", 0},
        {"COM5@4000001", 1, "", 0},
        {"COM5@12a", 1, "", 0},
        {"COM5@-9600", 1, "", 0},
        {"COM5@99999999", 1, "", 0},
        {longPort.c_str(), 1, "", 0},
        {longPort.c_str() + 1, 0, longPort.c_str() + 1, SLCAN_DEFAULT_BAUD},
    };
    for (const OptionCase& c : cases) {
        SlcanOptions read{"unset", 7};
        std::string problem;
        ASSERT_EQ(c.result, slcanParseOptions(c.options, &read, &problem)) << c.options;
        if (c.result == 0) {
            EXPECT_EQ(c.port, read.port);
            EXPECT_EQ(c.baud, read.baud) << c.options;
        } else {
            EXPECT_NE(std::string::npos, problem.find("slcan:/dev/ttyACM0")) << c.options;
        }
    }
}

CanFrame standardFrame(uint32_t id, uint8_t len, uint8_t first) {
    CanFrame frame{};
    frame.ID = id;
    frame.LEN = len;
    for (int i = 0; i < CAN_MAX_DATA; ++i) {
        frame.DATA[i] = static_cast<uint8_t>(first + 0x11 * i);
    }
    return frame;
}

TEST(SlcanFrameCommand, WritesOneTCommand) {
    struct Case {
        CanFrame frame;
        const char* command;  // "" when no command can carry it
    };
    CanFrame status = standardFrame(0x00B, 1, 0x41);
    status.TYPE = FRAME_TYPE_STATUS;
    const Case cases[] = {
        {standardFrame(0x00B, 1, 0x41), "t00B141\r"},
        {standardFrame(0x00E, 0, 0), "t00E0\r"},
        {standardFrame(0x7FF, 8, 0x0F), "t7FF80F20314253647586\r"},
        {standardFrame(0x0AB, 4, 0xF0), "t0AB4F0011223\r"},
        {standardFrame(0x800, 1, 0), ""},
        {standardFrame(0x00B, 9, 0), ""},
        {status, ""},
    };
    for (const Case& c : cases) {
        char out[SLCAN_MAX_FRAME_COMMAND + 1];
        const size_t length = slcanFrameCommand(c.frame, out);
        EXPECT_EQ(std::string(c.command).size(), length) << c.command;
        if (length != 0) {
            EXPECT_EQ(c.command, std::string(out, length));
        }
    }
}

struct LineCase {
    const char* line;
    SlcanAnswerKind kind;
    uint32_t id;
    uint8_t type;
    uint8_t len;
    uint8_t flags;
};

TEST(SlcanAnswers, EachLineIsOneKind) {
    const LineCase cases[] = {
        {"", SLCAN_OK, 0, 0, 0, 0},
        {"z", SLCAN_SENT, 0, 0, 0, 0},
        {"Z", SLCAN_SENT, 0, 0, 0, 0},
        {"zz", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B141", SLCAN_STANDARD_FRAME, 0x00B, FRAME_TYPE_STANDARD, 1, 0},
        {"t7ff0", SLCAN_STANDARD_FRAME, 0x7FF, FRAME_TYPE_STANDARD, 0, 0},
        {"t00B1411A2B", SLCAN_STANDARD_FRAME, 0x00B, FRAME_TYPE_STANDARD, 1, 0},
        {"t00B1411A2", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B1411A2G", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B14", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t8000", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B9000000000000000000", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t0G01", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B14X", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"t00B1G1", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"T0000000B141", SLCAN_OTHER_FRAME, 0x00B, SLCAN_TYPE_EXTENDED, 1, 0},
        {"r00B0", SLCAN_OTHER_FRAME, 0x00B, SLCAN_TYPE_REMOTE, 0, 0},
        {"R1FFFFFFF8", SLCAN_OTHER_FRAME, 0x1FFFFFFF, SLCAN_TYPE_EXTENDED_REMOTE, 8, 0},
        {"R1FFFFFFF9", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"T0000000B", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"r00", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"F00", SLCAN_STATUS, 0, 0, 0, 0x00},
        {"FA5", SLCAN_STATUS, 0, 0, 0, 0xA5},
        {"Fff", SLCAN_STATUS, 0, 0, 0, 0xFF},
        {"F1", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"F123", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"FXY", SLCAN_UNKNOWN, 0, 0, 0, 0},
        {"V1013", SLCAN_UNKNOWN, 0, 0, 0, 0},
    };
    for (const LineCase& c : cases) {
        const std::string line = c.line;
        const SlcanAnswer answer = slcanDecodeLine(line.data(), line.size());
        ASSERT_EQ(c.kind, answer.kind) << c.line;
        if (c.kind == SLCAN_STANDARD_FRAME || c.kind == SLCAN_OTHER_FRAME) {
            EXPECT_EQ(c.id, answer.frame.ID) << c.line;
            EXPECT_EQ(c.type, answer.frame.TYPE) << c.line;
            EXPECT_EQ(c.len, answer.frame.LEN) << c.line;
        }
        if (c.kind == SLCAN_STATUS) {
            EXPECT_EQ(c.flags, answer.flags) << c.line;
        }
        if (c.kind == SLCAN_UNKNOWN) {
            EXPECT_EQ(line, answer.text);
        }
    }
    const std::string full = "t0AB4F0011223";
    const SlcanAnswer frame = slcanDecodeLine(full.data(), full.size());
    EXPECT_EQ(0xF0, frame.frame.DATA[0]);
    EXPECT_EQ(0x23, frame.frame.DATA[3]);
}

// Feeds the pieces one by one and lists the answers as they become whole.
std::string answersOf(const std::vector<std::string>& pieces) {
    SlcanReader reader{};
    slcanReaderReset(&reader);
    std::string seen;
    for (const std::string& piece : pieces) {
        slcanReaderFeed(&reader, piece.data(), piece.size());
        for (SlcanAnswer a = slcanNextAnswer(&reader); a.kind != SLCAN_NOTHING;
             a = slcanNextAnswer(&reader)) {
            seen += std::to_string(a.kind) +
                    (a.kind == SLCAN_STANDARD_FRAME ? ":" + std::to_string(a.frame.ID) : "") + " ";
        }
        seen += "| ";
    }
    return seen;
}

TEST(SlcanReader, CutsWhatArrivesIntoAnswers) {
    const std::string frame = std::to_string(SLCAN_STANDARD_FRAME);
    const std::string ok = std::to_string(SLCAN_OK);
    const std::string sent = std::to_string(SLCAN_SENT);
    const std::string bel = std::to_string(SLCAN_REFUSED);
    const std::string tooLong = std::to_string(SLCAN_TOO_LONG);
    const std::string unknown = std::to_string(SLCAN_UNKNOWN);
    // A line cut across reads waits for its end.
    EXPECT_EQ("| | " + frame + ":11 | ", answersOf({"t00", "B141", "\r"}));
    EXPECT_EQ(sent + " " + frame + ":12 | " + ok + " | ", answersOf({"z\rt00C0\r", "\r"}));
    // A BEL stands alone and cuts off a line begun before it.
    EXPECT_EQ(bel + " " + frame + ":11 | ", answersOf({"t00\at00B0\r"}));
    EXPECT_EQ(ok + " " + bel + " " + ok + " | ", answersOf({"\r\a\r"}));
    // CR LF line ends.
    EXPECT_EQ(sent + " " + sent + " | ", answersOf({"z\r\nz\r\n"}));
    // A line longer than any answer is one fault, and the next line reads as it is.
    const std::string longest = "T0000000B8" + std::string(16, '0') + "1A2B";
    ASSERT_EQ(SLCAN_MAX_LINE, longest.size());
    EXPECT_EQ(std::to_string(SLCAN_OTHER_FRAME) + " | ", answersOf({longest + "\r"}));
    EXPECT_EQ("| " + tooLong + " " + frame + ":11 | ", answersOf({longest + "0", "000\rt00B0\r"}));
    EXPECT_EQ(unknown + " | ", answersOf({"\x01\xff\r"}));
}

TEST(SlcanStatus, EachFlagIsOneStatusBit) {
    struct Case {
        uint8_t flags;
        uint8_t bits;
    };
    const Case cases[] = {
        {0x00, 0x00},
        {SLCAN_FLAG_RX_FULL, SLCAN_STATUS_RX_OVERFLOW},
        {SLCAN_FLAG_TX_FULL, SLCAN_STATUS_TX_OVERFLOW},
        {SLCAN_FLAG_ERROR_WARNING, SLCAN_STATUS_ERROR_WARNING},
        {SLCAN_FLAG_DATA_OVERRUN, SLCAN_STATUS_RX_OVERFLOW},
        {0x10, 0x00},
        {SLCAN_FLAG_ERROR_PASSIVE, SLCAN_STATUS_ERROR_PASSIVE},
        {SLCAN_FLAG_ARBITRATION_LOST, SLCAN_STATUS_LOST_ARBITRATION},
        {SLCAN_FLAG_BUS_ERROR, SLCAN_STATUS_BUS_ERROR},
        {0xFF, 0xBE},
    };
    for (const Case& c : cases) {
        const CanFrame frame = slcanStatusFrame(c.flags);
        EXPECT_EQ(FRAME_TYPE_STATUS, frame.TYPE);
        EXPECT_EQ(SLCAN_STATUS_LEN, frame.LEN);
        EXPECT_EQ(0u, frame.ID);
        EXPECT_EQ(c.bits, frame.DATA[SLCAN_STATUS_BYTE]) << static_cast<int>(c.flags);
        EXPECT_EQ(0, frame.DATA[0] | frame.DATA[1] | frame.DATA[2]);
    }
}

TEST(SlcanShowText, NamesWhatIsNotPrintable) {
    EXPECT_EQ("t00B\\r\\x07\\x5c\\xff", slcanShowText("t00B\r\a\\\xff"));
}

}  // namespace
