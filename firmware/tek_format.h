// Extended Tektronix Hex, as the example image generator writes it, the simulated
// controllers' monitors read it and the file check verifies it.
//
// A record is one line: '%' LL T CC ... and its LF.
//   LL  two hex digits: characters of the record, '%' and LF not counted
//   T   one hex digit: TEK_TYPE_DATA, TEK_TYPE_SYMBOL or TEK_TYPE_TERMINATION
//   CC  two hex digits: sum modulo 256 of the values (tekCharacterValue) of every
//       character of the record but CC
// A data or termination record goes on with
//   N   one hex digit (1 to F): number of address digits that follow, most significant first
//   A   the address
//   D   two hex digits per data byte; a termination record has none, its address is the
//       start address
// A symbol record carries section and symbol names for a debugger; it goes on with
// letters, digits and the few marks the character values cover, and a controller skips it.
// Hex digits may be of either case. The '%' never reaches a controller (the download
// skips the first character of each line), so a record is delimited by its own length
// field.
#pragma once

#include <cstdint>
#include <map>
#include <string>

constexpr char TEK_RECORD_MARK = '%';
constexpr int TEK_TYPE_SYMBOL = 3;
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

// Value of a hex digit of either case, or -1 for any other character.
int tekDigitValue(char c);

// What a character adds to a record's checksum: '0'-'9' 0 to 9, 'A'-'Z' 10 to 35, '$' 36,
// '%' 37, '.' 38, '_' 39, 'a'-'z' 40 to 65; -1 for a character no record may hold.
int tekCharacterValue(char c);

// The record length that the first two characters of a record announce, or -1 when
// they are not hex digits.
int tekRecordLength(const char* lengthField);

// What is wrong with a record, in the order tekCheckRecord looks for it.
constexpr int TEK_RECORD_OK = 0;
constexpr int TEK_NOT_HEX_DIGIT = 1;         // at position: a hex digit was due
constexpr int TEK_NOT_SYMBOL_CHARACTER = 2;  // at position: no character value
constexpr int TEK_TOO_SHORT = 3;             // stated: the characters there are
constexpr int TEK_LENGTH_MISMATCH = 4;       // stated: the length field; computed: the count
constexpr int TEK_UNKNOWN_TYPE = 5;          // stated: the type
constexpr int TEK_BAD_ADDRESS_DIGITS = 6;    // stated: the address digit count
constexpr int TEK_ODD_DATA_DIGITS = 7;       // stated: the data digits
constexpr int TEK_TERMINATION_WITH_DATA = 8;
constexpr int TEK_BAD_CHECKSUM = 9;  // stated: the checksum field; computed: the sum

struct TekRecordFault {
    int position;  // 0 for the first character after the '%'
    int stated;
    int computed;
};

// Checks and decodes one record given without its '%' and line end (count characters):
// TEK_RECORD_OK, or what is wrong first with *fault saying where (the record is then
// left unspecified). A symbol record decodes with no address and no data.
int tekCheckRecord(const char* chars, int count, TekRecord* record, TekRecordFault* fault);

// 0 when tekCheckRecord finds the record well formed, 1 otherwise.
int tekParseRecord(const char* chars, int count, TekRecord* record);

// Writes one record as a whole line ('%', the record, LF) into *line. 0, or 1 when the
// record cannot be written (too long, address too wide for its digits, bad type).
int tekFormatRecord(int type, uint64_t address, int addressDigits, const uint8_t* data,
                    int dataLength, std::string* line);

// Address digits that a record of an image needs to hold every address up to highest.
int tekAddressDigits(uint64_t highest);

// What an image file holds, read as a controller would take it: data records up to the
// first termination record; symbol records are skipped.
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
