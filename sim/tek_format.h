// Extended Tektronix Hex, as the example image generator writes it and the simulated
// controllers' monitors read it.
//
// A record is one line: '%' LL T CC N A... D... and its LF, all hex digits upper case.
//   LL  two digits: characters of the record, '%' and LF not counted
//   T   one digit: TEK_TYPE_DATA or TEK_TYPE_TERMINATION
//   CC  two digits: sum modulo 256 of the values of every digit of the record but CC
//   N   one digit (1 to F): number of address digits that follow, most significant first
//   D   two digits per data byte; a termination record has none, its address is the
//       start address
// The '%' never reaches a controller (the download skips the first character of each
// line), so a record is delimited by its own length field.
#pragma once

#include <cstdint>
#include <map>
#include <string>

constexpr char TEK_RECORD_MARK = '%';
constexpr int TEK_TYPE_DATA = 6;
constexpr int TEK_TYPE_TERMINATION = 8;
// LL, T, CC and N: the characters in front of the address.
constexpr int TEK_HEADER_CHARS = 6;
constexpr int TEK_MIN_ADDRESS_DIGITS = 1;
constexpr int TEK_MAX_ADDRESS_DIGITS = 15;
constexpr int TEK_MIN_RECORD_CHARS = TEK_HEADER_CHARS + TEK_MIN_ADDRESS_DIGITS;
// The most that a two-digit length field can announce.
constexpr int TEK_MAX_RECORD_CHARS = 0xFF;
constexpr int TEK_MAX_DATA_BYTES = (TEK_MAX_RECORD_CHARS - TEK_MIN_RECORD_CHARS) / 2;
// Characters of the length field, which come first in a record.
constexpr int TEK_LENGTH_CHARS = 2;

struct TekRecord {
    int type;
    uint64_t address;
    int dataLength;
    uint8_t data[TEK_MAX_DATA_BYTES];
};

// Value of an upper-case hex digit, or -1 for any other character.
int tekDigitValue(char c);

// The record length that the first two characters of a record announce, or -1 when
// they are not hex digits.
int tekRecordLength(const char* lengthField);

// Checks and decodes one record given without its '%' and line end (count characters).
// 0 when it is a well-formed data or termination record with a correct checksum,
// 1 otherwise (the record is then left unspecified).
int tekParseRecord(const char* chars, int count, TekRecord* record);

// Writes one record as a whole line ('%', the record, LF) into *line. 0, or 1 when the
// record cannot be written (too long, address too wide for its digits, bad type).
int tekFormatRecord(int type, uint64_t address, int addressDigits, const uint8_t* data,
                    int dataLength, std::string* line);

// Address digits that a record of an image needs to hold every address up to highest.
int tekAddressDigits(uint64_t highest);

// What an image file holds, read as a controller would take it: data records up to the
// first termination record.
struct TekImage {
    std::map<uint32_t, uint8_t> bytes;  // address -> data byte
    int dataRecords;
    int badRecords;  // lines that are no well-formed record
    bool terminated;
    uint64_t startAddress;  // from the termination record
};

// Decodes the image file at path. 0 when the file was read, 1 when it cannot be opened.
int tekDecodeImage(const char* path, TekImage* image);

// Writes an image of size data bytes starting at baseAddress, bytesPerLine a record,
// and the termination record with baseAddress as the start. 0, or 1 when the file cannot
// be written or a record would not fit its line.
int tekWriteImage(const char* path, const uint8_t* data, uint32_t size, uint32_t baseAddress,
                  int bytesPerLine);
