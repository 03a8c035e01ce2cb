// Any bytes as an image file: lines are split and their characters selected without
// reading or writing past the line buffer, and the file check's scan passes only what
// gives a controller whole, well-formed records that end in a termination record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "firmware/image_reader.h"
#include "firmware/image_scan.h"
#include "firmware/tek_format.h"

namespace {

ImageReader readerOver(const uint8_t* data, size_t size) {
    ImageReader reader{};
    reader.file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    return reader;
}

// The characters a controller receives from the whole file.
std::string sentStream(const uint8_t* data, size_t size) {
    ImageReader reader = readerOver(data, size);
    std::string stream;
    char line[IMAGE_LINE_BUFFER_SIZE];
    while (reader.file != nullptr && readImageLine(&reader, line, IMAGE_LINE_READ_COUNT)) {
        stream.append(line + FIRST_SENT_POSITION,
                      static_cast<size_t>(sendableCharacterCount(line)));
    }
    closeImage(&reader);
    return stream;
}

// Cuts the stream into records by their length fields, as a controller does.
bool wholeRecordsEndingInTermination(const std::string& stream) {
    size_t at = 0;
    int lastType = -1;
    while (at < stream.size()) {
        const int length = tekRecordLength(stream.c_str() + at);
        TekRecord record{};
        if (length < TEK_MIN_RECORD_CHARS || at + static_cast<size_t>(length) > stream.size() ||
            tekParseRecord(stream.c_str() + at, length, &record) != 0) {
            return false;
        }
        lastType = record.type;
        at += static_cast<size_t>(length);
    }
    return lastType == TEK_TYPE_TERMINATION;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    ImageReader reader = readerOver(data, size);
    if (reader.file == nullptr) {
        return 0;
    }
    char line[IMAGE_LINE_BUFFER_SIZE];
    size_t consumed = 0;
    int length = 0;
    while ((length = readImageLine(&reader, line, IMAGE_LINE_READ_COUNT)) > 0) {
        const int sent = sendableCharacterCount(line);
        // Never more than the line holds after its first character, nor past a NUL.
        if (sent < 0 || sent + 1 > IMAGE_LINE_READ_COUNT - 1 ||
            static_cast<size_t>(sent) > std::strlen(line) - 1 ||
            length > IMAGE_LINE_READ_COUNT - 1) {
            __builtin_trap();
        }
        consumed += static_cast<size_t>(length);
    }
    closeImage(&reader);
    if (consumed > size) {
        __builtin_trap();
    }

    reader = readerOver(data, size);
    ImageScan scan{};
    const int verdict = scanImageText(&reader, &scan);
    closeImage(&reader);
    if (std::memchr(scan.problem, '\0', sizeof scan.problem) == nullptr ||
        (verdict == IMAGE_SCAN_PASSED) != (scan.problem[0] == '\0') ||
        (verdict != IMAGE_SCAN_PASSED && verdict != IMAGE_SCAN_REFUSED)) {
        __builtin_trap();
    }
    if (verdict == IMAGE_SCAN_PASSED && !wholeRecordsEndingInTermination(sentStream(data, size))) {
        __builtin_trap();
    }
    return 0;
}
