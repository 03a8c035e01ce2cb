// The serial-line CAN protocol as the adapters speak it, as pure text: the backend's
// options, the commands written, and the answers read, taken apart line by line.
// Nothing here touches a port.
//
// Each command is ASCII ended by CR: "C" closes the channel, "S8" sets 1 Mbit/s, "Z0"
// turns time stamps off, "O" opens it, "F" asks the status flags, "tIIILDD.." sends a
// standard frame (three hex digits of identifier, one of length, two per byte). The
// adapter answers a command with CR ("z" CR after "t", "Z" CR after "T", "Fxx" CR after
// "F") or with BEL (0x07) when it refuses it; frames from the bus arrive as "t", "T",
// "r" and "R" lines of their own, between the answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "can/can_frame.h"

constexpr uint32_t SLCAN_DEFAULT_BAUD = 115200;
// A port name as long as a device path may be.
constexpr size_t SLCAN_MAX_PORT_LENGTH = 255;

struct SlcanOptions {
    std::string port;
    uint32_t baud;
};

// Reads "PORT[@BAUD]": 0, or 1 with *problem saying what the options take (no port, a
// baud rate that is no number from 1 to 4000000).
int slcanParseOptions(const char* options, SlcanOptions* out, std::string* problem);

// The line ending a command and an answer, and the refusal.
constexpr char SLCAN_CR = '\r';
constexpr char SLCAN_BEL = '\a';

// The longest line an adapter sends: "T", 8 digits of identifier, 1 of length, 16 of
// data and, from adapters that keep time stamps on, 4 more.
constexpr size_t SLCAN_MAX_LINE = 1 + 8 + 1 + 16 + 4;
// "t", 3 + 1 digits, 16 of data, CR.
constexpr size_t SLCAN_MAX_FRAME_COMMAND = 1 + 3 + 1 + 16 + 1;

// Writes the "t" command for a record, CR included, into out: its length, or 0 when the
// record is no standard frame with an 11-bit identifier and at most 8 data bytes.
size_t slcanFrameCommand(const CanFrame& frame, char (&out)[SLCAN_MAX_FRAME_COMMAND + 1]);

// Bytes as they come from the port, cut into answers. Partial lines wait for the rest.
struct SlcanReader {
    char line[SLCAN_MAX_LINE + 1];
    size_t length;
    bool overlong;        // the line being read has run past SLCAN_MAX_LINE: it is skipped
    std::string pending;  // bytes received and not yet taken apart
};

void slcanReaderReset(SlcanReader* reader);
void slcanReaderFeed(SlcanReader* reader, const char* bytes, size_t count);

enum SlcanAnswerKind {
    SLCAN_NOTHING,         // no whole answer received yet
    SLCAN_OK,              // a bare CR: the command was taken
    SLCAN_REFUSED,         // BEL: the command was refused
    SLCAN_SENT,            // "z" or "Z": a frame was taken for the bus
    SLCAN_STANDARD_FRAME,  // a "t" line, now in frame
    SLCAN_OTHER_FRAME,     // a "T", "r" or "R" line, now in frame with its TYPE below
    SLCAN_STATUS,          // "Fxx": the status flags, in flags
    SLCAN_TOO_LONG,        // a line longer than any answer can be, skipped whole
    SLCAN_UNKNOWN,         // any other line, in text
};

// TYPE of the records made from "r", "T" and "R" lines: frames the utility does not use.
constexpr uint8_t SLCAN_TYPE_REMOTE = 0x01;
constexpr uint8_t SLCAN_TYPE_EXTENDED = 0x02;
constexpr uint8_t SLCAN_TYPE_EXTENDED_REMOTE = 0x03;

struct SlcanAnswer {
    SlcanAnswerKind kind;
    CanFrame frame;
    uint8_t flags;
    std::string text;
};

// Takes the next whole answer from what was fed; kind SLCAN_NOTHING when none is there.
SlcanAnswer slcanNextAnswer(SlcanReader* reader);

// Takes one line apart (without its CR).
SlcanAnswer slcanDecodeLine(const char* line, size_t length);

// The status flags of the "F" answer.
constexpr uint8_t SLCAN_FLAG_RX_FULL = 0x01;
constexpr uint8_t SLCAN_FLAG_TX_FULL = 0x02;
constexpr uint8_t SLCAN_FLAG_ERROR_WARNING = 0x04;
constexpr uint8_t SLCAN_FLAG_DATA_OVERRUN = 0x08;
constexpr uint8_t SLCAN_FLAG_ERROR_PASSIVE = 0x20;
constexpr uint8_t SLCAN_FLAG_ARBITRATION_LOST = 0x40;
constexpr uint8_t SLCAN_FLAG_BUS_ERROR = 0x80;

// Status records carry in DATA[3] the bits the socketcan backend gives the same
// conditions, so a status line means one thing whichever adapter printed it:
//
//   DATA[3] bit  set when the flags report
//   0x02         error passive
//   0x04         error warning
//   0x08         receive buffer full or data overrun
//   0x10         transmit buffer full
//   0x20         arbitration lost
//   0x80         bus error
//
// The flags tell nothing of bus-off (0x01) or of a return to error-active (0x40).
constexpr uint8_t SLCAN_STATUS_ERROR_PASSIVE = 0x02;
constexpr uint8_t SLCAN_STATUS_ERROR_WARNING = 0x04;
constexpr uint8_t SLCAN_STATUS_RX_OVERFLOW = 0x08;
constexpr uint8_t SLCAN_STATUS_TX_OVERFLOW = 0x10;
constexpr uint8_t SLCAN_STATUS_LOST_ARBITRATION = 0x20;
constexpr uint8_t SLCAN_STATUS_BUS_ERROR = 0x80;
constexpr uint8_t SLCAN_STATUS_LEN = 4;
constexpr int SLCAN_STATUS_BYTE = 3;

// The status record for the flags of one "F" answer: TYPE FRAME_TYPE_STATUS, ID 0,
// LEN 4, DATA[3] as above, every other byte 0.
CanFrame slcanStatusFrame(uint8_t flags);

// One byte of the port's text, as a console line may show it: printable as it is,
// CR and BEL by name, others as \xHH.
std::string slcanShowText(const std::string& text);
