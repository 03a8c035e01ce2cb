// One line of a candump log, exactly as `candump -L` writes it, so that log2asc,
// log2long, canplayer and python-can's CanutilsLogReader read a trace as it is:
//
//   (1765234567.100480) can0 00B#03                       a standard data frame
//   (1765234569.412003) can0 20000080#0000000800000000    an error frame
//
// The stamp is seconds (at least ten digits, as candump pads them) and microseconds;
// the interface name has no blank; a standard frame's ID has three upper-case hex
// digits and an error frame's eight (CAN_ERR_FLAG and its error classes), followed by
// the data bytes as upper-case hex pairs.
#pragma once

#include <cstdint>

#include "can/can_frame.h"

// CAN_ERR_FLAG of linux/can/error.h: the identifier of an error frame carries it.
constexpr uint32_t CANDUMP_ERROR_FLAG = 0x20000000;
// The error frame a candump log writes always has eight data bytes (CAN_ERR_DLC).
constexpr int CANDUMP_ERROR_LEN = 8;
// candump takes interface names of up to IFNAMSIZ - 1 characters.
constexpr int CANDUMP_MAX_INTERFACE = 15;

// A bus problem as SocketCAN reports it: CANDUMP_ERROR_FLAG and the error classes in
// ID, what each class tells in DATA.
struct CanErrorFrame {
    uint32_t ID;
    uint8_t DATA[CANDUMP_ERROR_LEN];
};

// Room for the longest line: any stamp, the longest interface, an error frame.
constexpr int CANDUMP_LINE_SIZE = 96;

struct CandumpLine {
    char text[CANDUMP_LINE_SIZE];
    int length;  // without the terminating NUL; 0 when nothing could be made
};

// The line of a frame, ending in LF. An ID beyond 11 bits is written in the eight
// digits of an extended frame (29 bits kept), a LEN above 8 gives eight data bytes (as
// a classic frame's DLC 9 to 15 does), a negative stamp is written as 0, and an
// interface name is cut to CANDUMP_MAX_INTERFACE characters with anything that is not
// a visible character written as '_', so that no frame or name can break the line.
CandumpLine candumpFrameLine(int64_t stampUs, const char* iface, const CanFrame& frame);
CandumpLine candumpErrorLine(int64_t stampUs, const char* iface, const CanErrorFrame& frame);
