// The run's record on POSIX systems: one write(2) on a file opened with O_APPEND, so that
// the records of runs that share the file never interleave within a line.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/run_record.h"

int appendRecordBytes(const char* path, const char* bytes, size_t size) {
    int fd = -1;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    ssize_t written = -1;
    do {
        written = write(fd, bytes, size);
    } while (written < 0 && errno == EINTR);
    // A short write (a full disk) leaves part of a line: that is no record either.
    const int error = written < 0 ? errno : static_cast<size_t>(written) != size ? ENOSPC : 0;
    if (close(fd) != 0 && error == 0 && errno != EINTR) {
        return errno;
    }
    return error;
}

const char* recordErrorText(int error) { return std::strerror(error); }

void writeStandardError(const char* bytes, size_t size) {
    (void)!write(STDERR_FILENO, bytes, size);
}

int64_t wallClockNowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
