// The run's record on POSIX systems: one write(2) on a file opened with O_APPEND, so that
// the records of runs that share the file never interleave within a line.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/run_record.h"

int appendRecordBytes(const char* path, const char* bytes, size_t size, bool* mended) {
    *mended = false;
    int fd = -1;
    // Without blocking: a FIFO with no reader must not hold the run for ever.
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno;
    }
    struct stat file {};
    if (fstat(fd, &file) != 0 || !S_ISREG(file.st_mode)) {
        close(fd);
        return EINVAL;
    }
    // A record cut short (a full disk, a killed run) gets its line end first, so that only
    // that record is lost and this one stands on a line of its own.
    char last = '\n';
    if (file.st_size > 0) {
        const int reader = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (reader >= 0) {
            if (pread(reader, &last, 1, file.st_size - 1) != 1) {
                last = '\n';
            }
            close(reader);
        }
    }
    *mended = last != '\n';
    char lineEnd = '\n';
    iovec parts[2] = {{&lineEnd, *mended ? 1u : 0u}, {const_cast<char*>(bytes), size}};
    const size_t total = size + parts[0].iov_len;
    ssize_t written = -1;
    do {
        written = writev(fd, parts, 2);
    } while (written < 0 && errno == EINTR);
    // A short write (a full disk) leaves part of a line: that is no record either.
    const int error = written < 0 ? errno : static_cast<size_t>(written) != total ? ENOSPC : 0;
    if (close(fd) != 0 && error == 0 && errno != EINTR) {
        return errno;
    }
    return error;
}

const char* recordErrorText(int error) {
    return error == EINVAL ? "it is not a regular file" : std::strerror(error);
}

void holdInterruptions(bool hold) {
    // The mask as it was before the hold: a signal the caller kept waiting stays waiting.
    static sigset_t before;
    if (!hold) {
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return;
    }
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&handled, s);
    }
    sigprocmask(SIG_BLOCK, &handled, &before);
}

void writeStandardError(const char* bytes, size_t size) {
    (void)!write(STDERR_FILENO, bytes, size);
}

int64_t wallClockNowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
