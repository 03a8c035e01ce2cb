#include "firmware/image_reader.h"

#include <sys/stat.h>

#include <cerrno>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr signed char LOWEST_SENT_CHARACTER = '0';

#if defined(_WIN32)
using FileStatus = struct _stat64;

int pathStatus(const char* path, FileStatus* info) { return _stat64(path, info); }

int openFileStatus(std::FILE* file, FileStatus* info) { return _fstat64(_fileno(file), info); }

std::FILE* openForReading(const char* path) { return std::fopen(path, "rb"); }
#else
using FileStatus = struct stat;

int pathStatus(const char* path, FileStatus* info) { return stat(path, info); }

int openFileStatus(std::FILE* file, FileStatus* info) { return fstat(fileno(file), info); }

// Without blocking: a FIFO put in the file's place after it was looked at would otherwise
// hold the open until some writer came.
std::FILE* openForReading(const char* path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}
#endif

// IMAGE_OPENED for a regular file; a directory counts as a file that cannot be opened.
int classify(const FileStatus* info, ImageReader* reader) {
    const unsigned type = static_cast<unsigned>(info->st_mode) & S_IFMT;
    if (type == S_IFDIR) {
        reader->openError = EISDIR;
        return IMAGE_NOT_OPENED;
    }
    if (type != S_IFREG) {
        reader->fileType = type;
        return IMAGE_NOT_REGULAR;
    }
    return IMAGE_OPENED;
}

int nextByte(ImageReader* reader) {
    if (reader->file != nullptr) {
        return std::getc(reader->file);
    }
    if (reader->memoryAt >= reader->memorySize) {
        return EOF;
    }
    return static_cast<unsigned char>(reader->memory[reader->memoryAt++]);
}

void putBackByte(ImageReader* reader, int byte) {
    if (reader->file != nullptr) {
        std::ungetc(byte, reader->file);
    } else {
        --reader->memoryAt;
    }
}

// One character of the text: CR LF read as LF; Ctrl-Z, the end or an error as EOF.
int readTextCharacter(ImageReader* reader) {
    if (reader->ended) {
        return EOF;
    }
    int c = nextByte(reader);
    if (c == '\r') {
        const int next = nextByte(reader);
        if (next == '\n') {
            c = '\n';
        } else if (next != EOF) {
            putBackByte(reader, next);
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
    *reader = ImageReader{};
    if (path == nullptr || *path == '\0') {
        reader->openError = ENOENT;
        return IMAGE_NOT_OPENED;
    }
    FileStatus info{};
    if (pathStatus(path, &info) != 0) {
        reader->openError = errno;
        return IMAGE_NOT_OPENED;
    }
    int found = classify(&info, reader);
    if (found != IMAGE_OPENED) {
        return found;
    }
    std::FILE* file = openForReading(path);
    if (file == nullptr) {
        reader->openError = errno;
        return IMAGE_NOT_OPENED;
    }
    // The path may name another file by now: what counts is the one that is open.
    if (openFileStatus(file, &info) != 0) {
        reader->openError = errno;
        std::fclose(file);
        return IMAGE_NOT_OPENED;
    }
    found = classify(&info, reader);
    if (found != IMAGE_OPENED) {
        std::fclose(file);
        return found;
    }
    reader->file = file;
    reader->size = static_cast<int64_t>(info.st_size);
    return IMAGE_OPENED;
}

void closeImage(ImageReader* reader) {
    if (reader->file != nullptr) {
        std::fclose(reader->file);
        reader->file = nullptr;
    }
}

void openImageBytes(ImageReader* reader, const char* bytes, size_t size) {
    *reader = ImageReader{};
    reader->memory = bytes;
    reader->memorySize = size;
    reader->size = static_cast<int64_t>(size);
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
    return length;
}

int sendableCharacterCount(const char* line) {
    int position = FIRST_SENT_POSITION;
    while (static_cast<signed char>(line[position]) >= LOWEST_SENT_CHARACTER) {
        ++position;
    }
    return position - FIRST_SENT_POSITION;
}
