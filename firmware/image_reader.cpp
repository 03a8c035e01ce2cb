#include "firmware/image_reader.h"

#include <sys/stat.h>

namespace {

constexpr signed char LOWEST_SENT_CHARACTER = '0';

// One character of the text: CR LF read as LF; Ctrl-Z, the end or an error as EOF.
int readTextCharacter(ImageReader* reader) {
    if (reader->ended) {
        return EOF;
    }
    int c = std::getc(reader->file);
    if (c == '\r') {
        const int next = std::getc(reader->file);
        if (next == '\n') {
            c = '\n';
        } else if (next != EOF) {
            std::ungetc(next, reader->file);
        }
    }
    if (c == EOF || c == TEXT_END_OF_FILE_MARK) {
        reader->ended = true;
        return EOF;
    }
    return c;
}

}  // namespace

int openImage(ImageReader* reader, const char* path) {
    reader->file = nullptr;
    reader->ended = false;
    if (path == nullptr || *path == '\0') {
        return 1;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return 1;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || (info.st_mode & S_IFMT) == S_IFDIR) {
        std::fclose(file);
        return 1;
    }
    reader->file = file;
    return 0;
}

void closeImage(ImageReader* reader) {
    if (reader->file != nullptr) {
        std::fclose(reader->file);
        reader->file = nullptr;
    }
}

int readImageLine(ImageReader* reader, char* buffer, int count) {
    if (count < 1) {
        return 0;
    }
    int length = 0;
    while (length < count - 1) {
        const int c = readTextCharacter(reader);
        if (c == EOF) {
            break;
        }
        buffer[length++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    buffer[length] = '\0';
    return length > 0 ? 1 : 0;
}

int sendableCharacterCount(const char* line) {
    int position = FIRST_SENT_POSITION;
    while (static_cast<signed char>(line[position]) >= LOWEST_SENT_CHARACTER) {
        ++position;
    }
    return position - FIRST_SENT_POSITION;
}
