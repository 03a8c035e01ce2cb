// Reads a firmware image by lines, the same way on every platform: as a text file is
// read on Windows (CR LF is one LF, Ctrl-Z ends the file) and split as fgets splits it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// fgets with this count: a line is at most 98 characters and its NUL.
constexpr int IMAGE_LINE_READ_COUNT = 99;
// The line buffer of a download, one more than a read fills.
constexpr int IMAGE_LINE_BUFFER_SIZE = 100;
constexpr int TEXT_END_OF_FILE_MARK = 0x1A;

// What openImage found.
constexpr int IMAGE_OPENED = 0;
constexpr int IMAGE_NOT_OPENED = 1;  // missing, unreadable, a directory or an empty path
// A FIFO, a device or a socket: such a file is never opened, since opening or reading it
// can block or never end.
constexpr int IMAGE_NOT_REGULAR = 2;

// Reads the text either from an open file or from bytes already in memory.
struct ImageReader {
    std::FILE* file;
    const char* memory;  // the bytes read when file is null
    size_t memorySize;
    size_t memoryAt;
    bool ended;         // a Ctrl-Z or a read error has ended the text
    int64_t size;       // of the open file, or of the bytes in memory
    int openError;      // the errno value when the file was not opened
    unsigned fileType;  // the file type bits of its mode when it is no regular file
};

// IMAGE_OPENED when the path names a regular file that can be read, else what it is.
int openImage(ImageReader* reader, const char* path);
void closeImage(ImageReader* reader);

// A reader over bytes in memory, which must outlive it; read exactly as a file of those
// bytes would be.
void openImageBytes(ImageReader* reader, const char* bytes, size_t size);

// The image as the file check read it, once: every download streams these bytes, so what
// a controller receives is what was checked, whatever becomes of the file afterwards.
struct ImageBytes {
    std::vector<char> bytes;
};

// Reads one line into buffer as fgets(buffer, count, file) reads a text stream:
// up to and including the next LF, at most count - 1 characters, NUL-terminated.
// The characters read (a NUL among them counts), 0 when the text has ended before any.
int readImageLine(ImageReader* reader, char* buffer, int count);

// Number of characters of a line that are sent, from position 1 on: those up to the
// first whose value, as a signed 8-bit number, is below '0'. Position 0 never is.
int sendableCharacterCount(const char* line);

// The first position of a line whose character is sent.
constexpr int FIRST_SENT_POSITION = 1;
