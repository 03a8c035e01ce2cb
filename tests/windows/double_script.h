// The script of the adapter library's test double (pcan_double.cpp): how it is read
// from its environment variable, and the frame records as raw bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

constexpr const char* DOUBLE_SCRIPT_VARIABLE = "ADAPTER_DOUBLE_SCRIPT";
// What CAN_Init gives when the script cannot be followed (a line on standard error
// tells why).
constexpr uint32_t DOUBLE_BAD_SCRIPT = 0xBAD0;

// A frame record as the library lays it out: identifier (32-bit, little-endian) at 0,
// type at 4, data length at 5, eight data bytes from 6, two bytes unused.
constexpr int DOUBLE_RECORD_SIZE = 16;
constexpr int DOUBLE_RECORD_ID = 0;
constexpr int DOUBLE_RECORD_TYPE = 4;
constexpr int DOUBLE_RECORD_LEN = 5;
constexpr int DOUBLE_RECORD_DATA = 6;
constexpr int DOUBLE_RECORD_DATA_MAX = 8;

struct DoubleRead {
    enum Kind { EMPTY, FRAME, ERROR_RESULT } kind;
    uint32_t emptyCount;                 // EMPTY: reads left that find the queue empty
    uint32_t errorCode;                  // ERROR_RESULT
    uint8_t record[DOUBLE_RECORD_SIZE];  // FRAME
};

struct DoubleScript {
    std::vector<uint32_t> initResults, resetResults, filterResults, writeResults;
    std::deque<DoubleRead> reads;
    bool echo = false;
    std::string logPath;
    bool hand = false;        // a simulated hand answers instead of the script's reads
    std::string handOptions;  // its options, as after "sim:" in DOVEL_CAN
};

// 0 with *script filled, or 1 with *error naming the item that is not understood.
int parseDoubleScript(const std::string& text, DoubleScript* script, std::string* error);

// "ID#DATA" or "ID#DATA/TT" (hex) into a record; 0, or 1 when malformed.
int parseRecord(const std::string& text, uint8_t* record);

uint32_t recordId(const uint8_t* record);

// "ID#DATA" with the ID in three hex digits and LEN data bytes in upper-case hex,
// followed by "/TT" when the type is not a standard frame's.
std::string recordText(const uint8_t* record);
