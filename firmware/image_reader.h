// Reads a firmware image by lines, the same way on every platform: as a text file is
// read on Windows (CR LF is one LF, Ctrl-Z ends the file) and split as fgets splits it.
#pragma once

#include <cstdio>

// fgets with this count: a line is at most 98 characters and its NUL.
constexpr int IMAGE_LINE_READ_COUNT = 99;
// The line buffer of a download, one more than a read fills.
constexpr int IMAGE_LINE_BUFFER_SIZE = 100;
constexpr int TEXT_END_OF_FILE_MARK = 0x1A;

struct ImageReader {
    std::FILE* file;
    bool ended;  // a Ctrl-Z or a read error has ended the text
};

// 0 when the path names a file that can be read, 1 otherwise (a directory included).
int openImage(ImageReader* reader, const char* path);
void closeImage(ImageReader* reader);

// Reads one line into buffer as fgets(buffer, count, file) reads a text stream:
// up to and including the next LF, at most count - 1 characters, NUL-terminated.
// 1 with a line, 0 when the text has ended before any character.
int readImageLine(ImageReader* reader, char* buffer, int count);

// Number of characters of a line that are sent, from position 1 on: those up to the
// first whose value, as a signed 8-bit number, is below '0'. Position 0 never is.
int sendableCharacterCount(const char* line);

// The first position of a line whose character is sent.
constexpr int FIRST_SENT_POSITION = 1;
