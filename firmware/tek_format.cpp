#include "firmware/tek_format.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int HEX_RADIX = 16;
constexpr int BITS_PER_DIGIT = 4;
constexpr int DIGITS_PER_BYTE = 2;
constexpr int CHECKSUM_MODULUS = 256;
constexpr int CHECKSUM_DIGITS = 2;
constexpr int DECIMAL_DIGITS = 10;
// Character values past the upper-case letters.
constexpr int DOLLAR_VALUE = 36;
constexpr int PERCENT_VALUE = 37;
constexpr int PERIOD_VALUE = 38;
constexpr int UNDERSCORE_VALUE = 39;
constexpr int LOWER_CASE_FIRST_VALUE = 40;
// Positions within a record (the '%' not counted).
constexpr int TYPE_POSITION = 2;
constexpr int CHECKSUM_POSITION = 3;
constexpr int ADDRESS_DIGITS_POSITION = 5;
constexpr char UPPER_DIGITS[] = "0123456789ABCDEF";
// Longer lines than any record can be are bad records; the reader skips their rest.
constexpr int DECODE_LINE_BUFFER = 1024;

char digitChar(unsigned value) { return UPPER_DIGITS[value & (HEX_RADIX - 1)]; }

void appendHex(std::string* text, uint64_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        text->push_back(digitChar(static_cast<unsigned>(value >> (i * BITS_PER_DIGIT))));
    }
}

// Sum of the character values of a record, its checksum digits left out.
int characterSum(const char* chars, int count) {
    int sum = 0;
    for (int i = 0; i < count; ++i) {
        if (i != CHECKSUM_POSITION && i != CHECKSUM_POSITION + 1) {
            sum += tekCharacterValue(chars[i]);
        }
    }
    return sum % CHECKSUM_MODULUS;
}

bool allDigits(const char* chars, int count) {
    for (int i = 0; i < count; ++i) {
        if (tekDigitValue(chars[i]) < 0) {
            return false;
        }
    }
    return true;
}

// The first character that its place does not allow, or -1: hex digits in the header, and
// in the whole of any record but a symbol record, whose names take any character value.
int firstBadCharacter(const char* chars, int count, int* problem) {
    const bool symbol =
        count > TYPE_POSITION && tekDigitValue(chars[TYPE_POSITION]) == TEK_TYPE_SYMBOL;
    for (int i = 0; i < count; ++i) {
        if (i < TEK_HEADER_CHARS || !symbol) {
            if (tekDigitValue(chars[i]) < 0) {
                *problem = TEK_NOT_HEX_DIGIT;
                return i;
            }
        } else if (tekCharacterValue(chars[i]) < 0) {
            *problem = TEK_NOT_SYMBOL_CHARACTER;
            return i;
        }
    }
    return -1;
}

// Where the address and data of a data or termination record do not fit it.
int layoutProblem(int type, int count, int addressDigits, TekRecordFault* fault) {
    const int dataDigits = count - TEK_HEADER_CHARS - addressDigits;
    if (addressDigits < TEK_MIN_ADDRESS_DIGITS || dataDigits < 0) {
        fault->stated = addressDigits;
        return TEK_BAD_ADDRESS_DIGITS;
    }
    if (dataDigits % DIGITS_PER_BYTE != 0) {
        fault->stated = dataDigits;
        return TEK_ODD_DATA_DIGITS;
    }
    if (type == TEK_TYPE_TERMINATION && dataDigits != 0) {
        return TEK_TERMINATION_WITH_DATA;
    }
    return TEK_RECORD_OK;
}

uint64_t digitsValue(const char* chars, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = (value << BITS_PER_DIGIT) | static_cast<uint64_t>(tekDigitValue(chars[i]));
    }
    return value;
}

// Strips the line end (LF, and a CR before it) of a line as fgets gives it.
int contentLength(const char* line) {
    int length = static_cast<int>(std::strlen(line));
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        --length;
    }
    return length;
}

// Takes one line of an image into *image; false once the termination record is in.
bool decodeLine(const char* line, TekImage* image) {
    const int length = contentLength(line);
    if (length == 0) {
        return true;
    }
    TekRecord record{};
    if (line[0] != TEK_RECORD_MARK || tekParseRecord(line + 1, length - 1, &record) != 0) {
        ++image->badRecords;
        return true;
    }
    if (record.type == TEK_TYPE_SYMBOL) {
        return true;
    }
    // Every byte and the start lie at 32-bit addresses; a record that ends on the last of
    // them is whole.
    const uint64_t lastAddress =
        record.address + static_cast<uint64_t>(record.dataLength > 0 ? record.dataLength - 1 : 0);
    if (lastAddress > UINT32_MAX) {
        ++image->badRecords;
        return true;
    }
    if (record.type == TEK_TYPE_TERMINATION) {
        image->terminated = true;
        image->startAddress = record.address;
        return false;
    }
    for (int i = 0; i < record.dataLength; ++i) {
        image->bytes[static_cast<uint32_t>(record.address + static_cast<uint64_t>(i))] =
            record.data[i];
    }
    ++image->dataRecords;
    return true;
}

}  // namespace

int tekDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + DECIMAL_DIGITS;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + DECIMAL_DIGITS;
    }
    return -1;
}

int tekCharacterValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'Z') {
        return c - 'A' + DECIMAL_DIGITS;
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + LOWER_CASE_FIRST_VALUE;
    }
    switch (c) {
        case '$':
            return DOLLAR_VALUE;
        case '%':
            return PERCENT_VALUE;
        case '.':
            return PERIOD_VALUE;
        case '_':
            return UNDERSCORE_VALUE;
        default:
            return -1;
    }
}

int tekRecordLength(const char* lengthField) {
    if (!allDigits(lengthField, TEK_LENGTH_CHARS)) {
        return -1;
    }
    return static_cast<int>(digitsValue(lengthField, TEK_LENGTH_CHARS));
}

int tekCheckRecord(const char* chars, int count, TekRecord* record, TekRecordFault* fault) {
    *fault = TekRecordFault{};
    int problem = TEK_RECORD_OK;
    fault->position = firstBadCharacter(chars, count, &problem);
    if (problem != TEK_RECORD_OK) {
        return problem;
    }
    fault->position = 0;
    fault->computed = count;
    if (count < TEK_LENGTH_CHARS) {
        fault->stated = count;
        return TEK_TOO_SHORT;
    }
    fault->stated = tekRecordLength(chars);
    if (fault->stated != count) {
        return TEK_LENGTH_MISMATCH;
    }
    if (count < TEK_MIN_RECORD_CHARS) {
        fault->stated = count;
        return TEK_TOO_SHORT;
    }
    const int type = tekDigitValue(chars[TYPE_POSITION]);
    fault->stated = type;
    if (type != TEK_TYPE_DATA && type != TEK_TYPE_TERMINATION && type != TEK_TYPE_SYMBOL) {
        return TEK_UNKNOWN_TYPE;
    }
    const int addressDigits = tekDigitValue(chars[ADDRESS_DIGITS_POSITION]);
    if (type != TEK_TYPE_SYMBOL) {
        problem = layoutProblem(type, count, addressDigits, fault);
        if (problem != TEK_RECORD_OK) {
            return problem;
        }
    }
    fault->stated = static_cast<int>(digitsValue(chars + CHECKSUM_POSITION, CHECKSUM_DIGITS));
    fault->computed = characterSum(chars, count);
    if (fault->stated != fault->computed) {
        return TEK_BAD_CHECKSUM;
    }
    record->type = type;
    record->address = 0;
    record->dataLength = 0;
    if (type == TEK_TYPE_SYMBOL) {
        return TEK_RECORD_OK;
    }
    record->address = digitsValue(chars + TEK_HEADER_CHARS, addressDigits);
    record->dataLength = (count - TEK_HEADER_CHARS - addressDigits) / DIGITS_PER_BYTE;
    const char* data = chars + TEK_HEADER_CHARS + addressDigits;
    for (int i = 0; i < record->dataLength; ++i) {
        record->data[i] =
            static_cast<uint8_t>(digitsValue(data + i * DIGITS_PER_BYTE, DIGITS_PER_BYTE));
    }
    return TEK_RECORD_OK;
}

int tekParseRecord(const char* chars, int count, TekRecord* record) {
    TekRecordFault fault{};
    return tekCheckRecord(chars, count, record, &fault) == TEK_RECORD_OK ? 0 : 1;
}

int tekFormatRecord(int type, uint64_t address, int addressDigits, const uint8_t* data,
                    int dataLength, std::string* line) {
    const int count = TEK_HEADER_CHARS + addressDigits + dataLength * DIGITS_PER_BYTE;
    const bool addressFits = addressDigits >= TEK_MIN_ADDRESS_DIGITS &&
                             addressDigits <= TEK_MAX_ADDRESS_DIGITS &&
                             (address >> (addressDigits * BITS_PER_DIGIT)) == 0;
    if ((type != TEK_TYPE_DATA && type != TEK_TYPE_TERMINATION) || !addressFits || dataLength < 0 ||
        count > TEK_MAX_RECORD_CHARS || (type == TEK_TYPE_TERMINATION && dataLength != 0)) {
        return 1;
    }
    std::string record;
    appendHex(&record, static_cast<uint64_t>(count), TEK_LENGTH_CHARS);
    appendHex(&record, static_cast<uint64_t>(type), 1);
    record += "00";  // checksum, filled in below
    appendHex(&record, static_cast<uint64_t>(addressDigits), 1);
    appendHex(&record, address, addressDigits);
    for (int i = 0; i < dataLength; ++i) {
        appendHex(&record, data[i], DIGITS_PER_BYTE);
    }
    const int checksum = characterSum(record.data(), count);
    record[CHECKSUM_POSITION] = digitChar(static_cast<unsigned>(checksum >> BITS_PER_DIGIT));
    record[CHECKSUM_POSITION + 1] = digitChar(static_cast<unsigned>(checksum));
    *line = TEK_RECORD_MARK + record + '\n';
    return 0;
}

int tekAddressDigits(uint64_t highest) {
    int digits = TEK_MIN_ADDRESS_DIGITS;
    while (digits < TEK_MAX_ADDRESS_DIGITS && (highest >> (digits * BITS_PER_DIGIT)) != 0) {
        ++digits;
    }
    return digits;
}

int tekDecodeImage(const char* path, TekImage* image) {
    *image = TekImage{};
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        return 1;
    }
    char line[DECODE_LINE_BUFFER];
    bool wholeLine = true;  // the next read starts a new line
    while (std::fgets(line, sizeof line, file)) {
        const bool startsLine = wholeLine;
        wholeLine = std::strchr(line, '\n') != nullptr;
        if (!startsLine) {
            continue;  // the rest of an overlong line, already counted as bad
        }
        if (!wholeLine && !std::feof(file)) {
            ++image->badRecords;
            continue;
        }
        if (!decodeLine(line, image)) {
            break;
        }
    }
    std::fclose(file);
    return 0;
}

int tekWriteImage(const char* path, const uint8_t* data, uint32_t size, uint32_t baseAddress,
                  int bytesPerLine) {
    if (bytesPerLine <= 0) {
        return 1;
    }
    const uint64_t highest = static_cast<uint64_t>(baseAddress) + (size ? size - 1 : 0);
    const int addressDigits = tekAddressDigits(highest);
    std::string text;
    for (uint32_t offset = 0; offset < size; offset += static_cast<uint32_t>(bytesPerLine)) {
        const uint32_t left = size - offset;
        const int count =
            left < static_cast<uint32_t>(bytesPerLine) ? static_cast<int>(left) : bytesPerLine;
        std::string line;
        if (tekFormatRecord(TEK_TYPE_DATA, static_cast<uint64_t>(baseAddress) + offset,
                            addressDigits, data + offset, count, &line) != 0) {
            return 1;
        }
        text += line;
    }
    std::string termination;
    if (tekFormatRecord(TEK_TYPE_TERMINATION, baseAddress, addressDigits, nullptr, 0,
                        &termination) != 0) {
        return 1;
    }
    text += termination;
    std::FILE* file = std::fopen(path, "wb");
    if (!file) {
        return 1;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return (std::fclose(file) == 0 && written) ? 0 : 1;
}
