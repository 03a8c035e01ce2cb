// Any bytes as an image file: lines are split and their characters selected without
// reading or writing past the line buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "firmware/image_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (file == nullptr) {
        return 0;
    }
    ImageReader reader{file, false};
    char line[IMAGE_LINE_BUFFER_SIZE];
    size_t consumed = 0;
    while (readImageLine(&reader, line, IMAGE_LINE_READ_COUNT)) {
        const size_t length = std::strlen(line);
        const int sent = sendableCharacterCount(line);
        // Never more than the line holds after its first character, nor past a NUL.
        if (sent < 0 || static_cast<size_t>(sent) + 1 > IMAGE_LINE_READ_COUNT - 1 ||
            (length > 0 && static_cast<size_t>(sent) > length - 1)) {
            __builtin_trap();
        }
        consumed += length;
    }
    closeImage(&reader);
    return consumed > size ? (__builtin_trap(), 0) : 0;
}
