#include "firmware/image_scan.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "firmware/tek_format.h"

namespace {

constexpr int CHARACTER_TEXT_SIZE = 24;
constexpr unsigned char FIRST_PRINTABLE = 0x20;
constexpr unsigned char DELETE_CHARACTER = 0x7F;
// Editors count columns from 1, and the '%' takes the first.
constexpr int COLUMN_OF_POSITION_0 = 1;
constexpr size_t IMAGE_READ_PIECE_BYTES = 64 * 1024;

// One line as an editor shows it: its first piece as the reader splits it, and how long
// it is in all.
struct ImageLine {
    char text[IMAGE_LINE_BUFFER_SIZE];
    int length;  // characters of the whole line, its LF not counted
    bool blank;  // nothing but spaces, tabs and CRs: nothing of it is sent
};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool allBlank(const char* chars, int count) {
    for (int i = 0; i < count; ++i) {
        if (!isBlank(chars[i])) {
            return false;
        }
    }
    return true;
}

// Takes the pieces of the reader up to the end of the next text line; 0 at the end of the
// text. Every character read is added to *textBytes, and reading stops once they pass
// what any image holds.
int readEditorLine(ImageReader* reader, ImageLine* line, int64_t* textBytes) {
    int count = readImageLine(reader, line->text, IMAGE_LINE_READ_COUNT);
    if (count == 0) {
        return 0;
    }
    *textBytes += count;
    bool ended = line->text[count - 1] == '\n';
    line->length = ended ? count - 1 : count;
    line->blank = allBlank(line->text, line->length);
    char rest[IMAGE_LINE_BUFFER_SIZE];
    while (!ended && count == IMAGE_LINE_READ_COUNT - 1 && *textBytes <= IMAGE_MAX_BYTES) {
        count = readImageLine(reader, rest, IMAGE_LINE_READ_COUNT);
        if (count == 0) {
            break;
        }
        *textBytes += count;
        ended = rest[count - 1] == '\n';
        const int chars = ended ? count - 1 : count;
        line->length += chars;
        line->blank = line->blank && allBlank(rest, chars);
    }
    return 1;
}

void describeCharacter(char c, char (&text)[CHARACTER_TEXT_SIZE]) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == ' ') {
        std::snprintf(text, sizeof text, "a space");
    } else if (c == '\t') {
        std::snprintf(text, sizeof text, "a tab");
    } else if (byte < FIRST_PRINTABLE || byte >= DELETE_CHARACTER) {
        std::snprintf(text, sizeof text, "byte 0x%02X", static_cast<unsigned>(byte));
    } else {
        std::snprintf(text, sizeof text, "'%c'", c);
    }
}

// Puts the problem into the scan, with the line in front when there is one.
int refuse(ImageScan* scan, int line, const char* format, ...) {
    scan->line = line;
    int used = 0;
    if (line > 0) {
        used = std::snprintf(scan->problem, sizeof scan->problem, "line %d: ", line);
    }
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(scan->problem + used, sizeof scan->problem - static_cast<size_t>(used), format,
                   arguments);
    va_end(arguments);
    return IMAGE_SCAN_REFUSED;
}

const char* fileTypeName(unsigned fileType) {
    switch (fileType) {
#if defined(S_IFIFO)
        case S_IFIFO:
            return "a FIFO";
#endif
#if defined(S_IFCHR)
        case S_IFCHR:
            return "a character device";
#endif
#if defined(S_IFBLK)
        case S_IFBLK:
            return "a block device";
#endif
#if defined(S_IFSOCK)
        case S_IFSOCK:
            return "a socket";
#endif
        default:
            return "a special file";
    }
}

int refuseRecord(ImageScan* scan, int line, int problem, const TekRecordFault* fault) {
    switch (problem) {
        case TEK_TOO_SHORT:
            return refuse(scan, line,
                          "the record has %d characters, fewer than the %d of the "
                          "shortest record",
                          fault->stated, TEK_MIN_RECORD_CHARS);
        case TEK_LENGTH_MISMATCH:
            return refuse(scan, line,
                          "the length field says 0x%02X (%d) characters, the record "
                          "has %d",
                          static_cast<unsigned>(fault->stated), fault->stated, fault->computed);
        case TEK_UNKNOWN_TYPE:
            return refuse(scan, line, "unknown record type %X",
                          static_cast<unsigned>(fault->stated));
        case TEK_BAD_ADDRESS_DIGITS:
            return refuse(scan, line, "the address digit count %X does not fit the record",
                          static_cast<unsigned>(fault->stated));
        case TEK_ODD_DATA_DIGITS:
            return refuse(scan, line, "the data field has an odd number of digits (%d)",
                          fault->stated);
        case TEK_TERMINATION_WITH_DATA:
            return refuse(scan, line, "the termination record carries data");
        default:
            return refuse(scan, line, "checksum is 0x%02X, the record's digits sum to 0x%02X",
                          static_cast<unsigned>(fault->stated),
                          static_cast<unsigned>(fault->computed));
    }
}

// GNU objcopy writes symbol records with section names like ".data" and "*ABS*", whose
// first mark ends what a download sends of the line. The command keeps only the data (6)
// and termination (8) records, which is all a controller takes.
constexpr const char* SYMBOL_RECORD_REMOVAL = "grep '^%..[68]' IN > OUT";

// Whether a line holds a symbol record, as far as the characters sent of it tell.
bool sendsSymbolRecord(const char* text, int sent) {
    return sent > TEK_LENGTH_CHARS &&
           tekDigitValue(text[FIRST_SENT_POSITION + TEK_LENGTH_CHARS]) == TEK_TYPE_SYMBOL;
}

// Checks one line that is not blank and decodes its record into *record. The order is
// that of the line itself: its first character, its length, then the characters that are
// sent from left to right, then what the record says of itself.
int checkLine(const ImageLine* line, int number, bool terminated, ImageScan* scan,
              TekRecord* record) {
    char character[CHARACTER_TEXT_SIZE];
    if (line->text[0] != TEK_RECORD_MARK) {
        describeCharacter(line->text[0], character);
        return refuse(scan, number, "the line starts with %s, not with '%c'", character,
                      TEK_RECORD_MARK);
    }
    if (terminated) {
        return refuse(scan, number, "a record after the termination record");
    }
    const int recordLength = line->length - FIRST_SENT_POSITION;
    if (recordLength > IMAGE_MAX_RECORD_CHARS) {
        return refuse(scan, number,
                      "%d characters after the '%c', more than the %d that are sent whole",
                      recordLength, TEK_RECORD_MARK, IMAGE_MAX_RECORD_CHARS);
    }
    const int sent = sendableCharacterCount(line->text);
    TekRecordFault fault{};
    const int problem = tekCheckRecord(line->text + FIRST_SENT_POSITION, sent, record, &fault);
    if (problem == TEK_NOT_HEX_DIGIT || problem == TEK_NOT_SYMBOL_CHARACTER) {
        const int position = FIRST_SENT_POSITION + fault.position;
        describeCharacter(line->text[position], character);
        return refuse(scan, number, "%s at column %d %s", character,
                      position + COLUMN_OF_POSITION_0,
                      problem == TEK_NOT_HEX_DIGIT ? "is not a hex digit"
                                                   : "has no place in a symbol record");
    }
    const int stop = FIRST_SENT_POSITION + sent;
    if (!allBlank(line->text + stop, line->length - stop)) {
        describeCharacter(line->text[stop], character);
        if (sendsSymbolRecord(line->text, sent)) {
            return refuse(scan, number,
                          "a symbol record that cannot be sent: a download stops sending the "
                          "line at column %d, at %s. Controllers skip symbol records; remove "
                          "them: %s",
                          stop + COLUMN_OF_POSITION_0, character, SYMBOL_RECORD_REMOVAL);
        }
        return refuse(scan, number,
                      "the record stops at column %d, at %s: the rest of the line is never sent",
                      stop + COLUMN_OF_POSITION_0, character);
    }
    if (problem != TEK_RECORD_OK) {
        return refuseRecord(scan, number, problem, &fault);
    }
    return IMAGE_SCAN_PASSED;
}

// The address ranges of the data records read so far, by first address, with their lines:
// a byte given twice would be written twice, and which of the two values a controller
// keeps is its own business.
struct DataRange {
    uint64_t last;
    int line;
};
using DataRanges = std::map<uint64_t, DataRange>;

// Refuses a record whose bytes overlap those of an earlier one, naming both lines.
int takeDataRange(DataRanges* ranges, uint64_t first, uint64_t last, int line, ImageScan* scan) {
    auto after = ranges->lower_bound(first);
    const DataRanges::iterator neighbours[] = {
        after == ranges->begin() ? ranges->end() : std::prev(after), after};
    for (const DataRanges::iterator& other : neighbours) {
        if (other == ranges->end() || other->first > last || other->second.last < first) {
            continue;
        }
        const uint64_t from = other->first > first ? other->first : first;
        const uint64_t to = other->second.last < last ? other->second.last : last;
        return refuse(scan, line, "bytes 0x%08llX to 0x%08llX were given before, on line %d",
                      static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
                      other->second.line);
    }
    ranges->emplace(first, DataRange{last, line});
    return IMAGE_SCAN_PASSED;
}

// A controller's addresses are 32 bits wide: a byte or a start above them has no place in
// any of them.
int refuseAddressAbove32Bits(const TekRecord* record, int line, ImageScan* scan) {
    return refuse(scan, line,
                  "the record's address 0x%llX lies above 0x%08llX: no controller can place it",
                  static_cast<unsigned long long>(record->address),
                  static_cast<unsigned long long>(IMAGE_HIGHEST_ADDRESS));
}

int takeDataRecord(const TekRecord* record, int line, DataRanges* ranges, ImageScan* scan) {
    ++scan->dataRecords;
    if (record->address > IMAGE_HIGHEST_ADDRESS) {
        return refuseAddressAbove32Bits(record, line, scan);
    }
    if (record->dataLength == 0) {
        return IMAGE_SCAN_PASSED;
    }
    const uint64_t last = record->address + static_cast<uint64_t>(record->dataLength) - 1;
    if (last > IMAGE_HIGHEST_ADDRESS) {
        return refuse(scan, line,
                      "the record's bytes run from 0x%08llX to 0x%llX, past 0x%08llX: no "
                      "controller can place them",
                      static_cast<unsigned long long>(record->address),
                      static_cast<unsigned long long>(last),
                      static_cast<unsigned long long>(IMAGE_HIGHEST_ADDRESS));
    }
    if (takeDataRange(ranges, record->address, last, line, scan) != IMAGE_SCAN_PASSED) {
        return IMAGE_SCAN_REFUSED;
    }
    if (scan->dataBytes == 0 || record->address < scan->lowestAddress) {
        scan->lowestAddress = record->address;
    }
    if (scan->dataBytes == 0 || last > scan->highestAddress) {
        scan->highestAddress = last;
    }
    scan->dataBytes += record->dataLength;
    return IMAGE_SCAN_PASSED;
}

// The runs of bytes with no gap between them, in address order, from the records' ranges
// (which never overlap: an overlap is refused before).
void collectAddressRanges(const DataRanges& ranges, ImageScan* scan) {
    scan->addressRanges = 0;
    uint64_t runLast = 0;
    for (const auto& [first, range] : ranges) {
        const bool continues = scan->addressRanges > 0 && first == runLast + 1;
        if (!continues) {
            ++scan->addressRanges;
        }
        runLast = range.last;
        const int index = scan->addressRanges - 1;
        if (index < IMAGE_LISTED_RANGES) {
            if (!continues) {
                scan->listedRanges[index].first = first;
            }
            scan->listedRanges[index].last = runLast;
        }
    }
}

}  // namespace

int scanImageText(ImageReader* reader, ImageScan* scan) {
    *scan = ImageScan{};
    scan->fileBytes = reader->size;
    ImageLine line{};
    int64_t textBytes = 0;
    int number = 0;
    int records = 0;
    int lastRecordLine = 0;
    int terminationLine = 0;
    bool terminated = false;
    DataRanges ranges;
    while (readEditorLine(reader, &line, &textBytes)) {
        ++number;
        if (textBytes > IMAGE_MAX_BYTES) {
            return refuse(scan, 0,
                          "the file is larger than any image can be (more than %lld bytes)",
                          static_cast<long long>(IMAGE_MAX_BYTES));
        }
        if (line.blank) {
            continue;
        }
        TekRecord record{};
        if (checkLine(&line, number, terminated, scan, &record) != IMAGE_SCAN_PASSED) {
            return IMAGE_SCAN_REFUSED;
        }
        ++records;
        lastRecordLine = number;
        if (record.type == TEK_TYPE_TERMINATION) {
            if (record.address > IMAGE_HIGHEST_ADDRESS) {
                return refuseAddressAbove32Bits(&record, number, scan);
            }
            terminated = true;
            terminationLine = number;
            scan->startAddress = record.address;
        } else if (record.type == TEK_TYPE_SYMBOL) {
            ++scan->symbolRecords;
        } else if (takeDataRecord(&record, number, &ranges, scan) != IMAGE_SCAN_PASSED) {
            return IMAGE_SCAN_REFUSED;
        }
    }
    if (records == 0) {
        return refuse(scan, 0, "the file holds no record");
    }
    if (!terminated) {
        return refuse(scan, lastRecordLine,
                      "the image ends after this record, with no termination record");
    }
    collectAddressRanges(ranges, scan);
    if (scan->dataBytes == 0) {
        // A controller would erase its flash and take nothing in its place.
        return refuse(scan, terminationLine,
                      "the image holds no data before its termination record: nothing to "
                      "install");
    }
    return IMAGE_SCAN_PASSED;
}

int readAndScanImage(const char* path, ImageScan* scan, ImageBytes* image) {
    *scan = ImageScan{};
    *image = ImageBytes{};
    ImageReader reader{};
    const int opened = openImage(&reader, path);
    if (opened == IMAGE_NOT_OPENED) {
        scan->openError = reader.openError;
        return IMAGE_SCAN_NOT_OPENED;
    }
    if (opened == IMAGE_NOT_REGULAR) {
        refuse(scan, 0, "the file is %s, not a regular file", fileTypeName(reader.fileType));
        return IMAGE_SCAN_NOT_A_FILE;
    }
    const int64_t fileBytes = reader.size;
    std::vector<char> bytes;
    if (fileBytes <= IMAGE_MAX_BYTES) {
        bytes.reserve(static_cast<size_t>(fileBytes));
        // Up to one piece past the bound, which tells a file that grew since it was looked at.
        char piece[IMAGE_READ_PIECE_BYTES];
        while (bytes.size() <= static_cast<size_t>(IMAGE_MAX_BYTES)) {
            const size_t got = std::fread(piece, 1, sizeof piece, reader.file);
            if (got == 0) {
                break;
            }
            bytes.insert(bytes.end(), piece, piece + got);
        }
    }
    const size_t size = bytes.size();
    const bool readFailed = std::ferror(reader.file) != 0;
    const int readError = errno;
    closeImage(&reader);
    scan->fileBytes = fileBytes;
    if (readFailed) {
        scan->openError = readError;
        return IMAGE_SCAN_NOT_OPENED;
    }
    if (fileBytes > IMAGE_MAX_BYTES || size > static_cast<size_t>(IMAGE_MAX_BYTES)) {
        refuse(scan, 0, "the file is larger than any image can be (%lld bytes, at most %lld)",
               static_cast<long long>(fileBytes > IMAGE_MAX_BYTES ? fileBytes
                                                                  : static_cast<int64_t>(size)),
               static_cast<long long>(IMAGE_MAX_BYTES));
        return IMAGE_SCAN_TOO_LARGE;
    }
    image->bytes = std::move(bytes);
    ImageReader text{};
    openImageBytes(&text, image->bytes.data(), image->bytes.size());
    const int verdict = scanImageText(&text, scan);
    scan->fileBytes = fileBytes;
    return verdict;
}
