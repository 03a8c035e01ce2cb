#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <dirent.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "can/clock.h"
#include "can/slcan_port.h"

namespace {

constexpr int NO_PORT = -1;
constexpr int64_t US_PER_MS = 1000;
constexpr int WRITE_RETRY_PAUSE_MS = 1;
// The terminal's own line discipline; any other means the kernel, not a program,
// speaks to the port (slcand attaches its ports with N_SLCAN).
constexpr int TERMINAL_LINE_DISCIPLINE = 0;

struct OpenPort {
    int fd;
    std::string name;
    char goneReason[128];
};

OpenPort openPort = {NO_PORT, "", ""};

struct BaudSetting {
    uint32_t baud;
    speed_t speed;
};

constexpr BaudSetting BAUD_SETTINGS[] = {
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#if defined(B460800)
    {460800, B460800},   {500000, B500000},   {921600, B921600},   {1000000, B1000000},
    {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
#endif
};

bool speedFor(uint32_t baud, speed_t* speed) {
    for (const BaudSetting& setting : BAUD_SETTINGS) {
        if (setting.baud == baud) {
            *speed = setting.speed;
            return true;
        }
    }
    return false;
}

// The kernel's word that the port itself is gone (a USB adapter pulled out, the other
// side of a pseudo-terminal closed).
bool portGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

void noteGone(const char* reason) {
    if (openPort.goneReason[0] == '\0') {
        std::snprintf(openPort.goneReason, sizeof openPort.goneReason, "%s: %s",
                      openPort.name.c_str(), reason);
    }
}

#if defined(__linux__)
// The process that has the device open, where /proc tells it: "process PID (NAME)", or "".
std::string deviceHolder(dev_t device) {
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return "";
    }
    std::string holder;
    while (const dirent* process = readdir(processes)) {
        const std::string pid = process->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            std::to_string(getpid()) == pid) {
            continue;
        }
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (const dirent* fd = readdir(fds)) {
            struct stat status {};
            if (fd->d_name[0] != '.' && stat((fdDir + "/" + fd->d_name).c_str(), &status) == 0 &&
                S_ISCHR(status.st_mode) && status.st_rdev == device) {
                std::string name;
                std::ifstream comm("/proc/" + pid + "/comm");
                std::getline(comm, name);
                holder = "process " + pid + (name.empty() ? "" : " (" + name + ")");
                break;
            }
        }
        closedir(fds);
        if (!holder.empty()) {
            break;
        }
    }
    closedir(processes);
    return holder;
}
#else
std::string deviceHolder(dev_t) { return ""; }
#endif

SlcanPortOpenResult failOpen(int fd, SlcanPortOpenResult result, const std::string& why,
                             std::string* out) {
    if (fd != NO_PORT) {
        close(fd);
    }
    *out = why;
    return result;
}

}  // namespace

SlcanPortOpenResult slcanPortOpen(const std::string& port, uint32_t baud, std::string* why) {
    slcanPortClose();
    speed_t speed = B0;
    if (!speedFor(baud, &speed)) {
        return failOpen(NO_PORT, SLCAN_PORT_FAILED,
                        port + ": " + std::to_string(baud) + " baud is no rate the port takes",
                        why);
    }
    const int fd = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY) {
            struct stat status {};
            const std::string holder =
                stat(port.c_str(), &status) == 0 ? deviceHolder(status.st_rdev) : "";
            return failOpen(NO_PORT, SLCAN_PORT_BUSY,
                            port + ": in use by " + (holder.empty() ? "another program" : holder),
                            why);
        }
        const SlcanPortOpenResult result = error == ENOENT || error == ENODEV || error == ENXIO
                                               ? SLCAN_PORT_MISSING
                                               : SLCAN_PORT_FAILED;
        return failOpen(NO_PORT, result, port + ": " + std::strerror(error), why);
    }
    if (!isatty(fd)) {
        return failOpen(fd, SLCAN_PORT_FAILED, port + ": not a serial port", why);
    }
#if defined(TIOCGETD)
    int discipline = TERMINAL_LINE_DISCIPLINE;
    if (ioctl(fd, TIOCGETD, &discipline) == 0 && discipline != TERMINAL_LINE_DISCIPLINE) {
        return failOpen(fd, SLCAN_PORT_ATTACHED,
                        port +
                            ": attached to SocketCAN (slcand): use DOVEL_CAN=socketcan:IFACE "
                            "with the interface slcand made",
                        why);
    }
#endif
    // Exclusive from here on: a second open fails with EBUSY (root's excepted, which the
    // bus lock stops for runs of this utility).
    if (ioctl(fd, TIOCEXCL) != 0) {
        return failOpen(fd, SLCAN_PORT_FAILED,
                        port + ": cannot open it exclusively: " + std::strerror(errno), why);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return failOpen(fd, SLCAN_PORT_FAILED, port + ": " + std::strerror(errno), why);
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    // With the port non-blocking, an empty read then fails with EAGAIN, so that a read of
    // nothing (0) means the port hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &settings) != 0) {
        return failOpen(fd, SLCAN_PORT_FAILED,
                        port + ": cannot set raw mode at " + std::to_string(baud) +
                            " baud: " + std::strerror(errno),
                        why);
    }
    tcflush(fd, TCIOFLUSH);
    openPort.fd = fd;
    openPort.name = port;
    openPort.goneReason[0] = '\0';
    return SLCAN_PORT_OPEN;
}

bool slcanPortIsOpen() { return openPort.fd != NO_PORT; }

long slcanPortRead(char* buffer, size_t size, std::string* why) {
    if (openPort.fd == NO_PORT) {
        *why = "the port is not open";
        return -1;
    }
    for (;;) {
        const ssize_t got = read(openPort.fd, buffer, size);
        if (got > 0) {
            return static_cast<long>(got);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        // End of file on a terminal: it hung up.
        noteGone(got == 0 ? "the port hung up" : std::strerror(errno));
        *why = openPort.goneReason;
        return -1;
    }
}

int slcanPortWrite(const char* bytes, size_t count, std::string* why, bool* gone) {
    *gone = false;
    if (openPort.fd == NO_PORT) {
        *why = "the port is not open";
        return 1;
    }
    const int64_t giveUpUs = realClockNowUs() + SLCAN_PORT_WRITE_LIMIT_MS * US_PER_MS;
    size_t done = 0;
    while (done < count) {
        const ssize_t wrote = write(openPort.fd, bytes + done, count - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        const int error = wrote < 0 ? errno : EIO;
        if (error == EINTR) {
            continue;
        }
        if ((error == EAGAIN || error == EWOULDBLOCK) && realClockNowUs() < giveUpUs) {
            realSleepUs(WRITE_RETRY_PAUSE_MS * US_PER_MS);
            continue;
        }
        if (portGone(error)) {
            noteGone(std::strerror(error));
            *gone = true;
            *why = openPort.goneReason;
        } else {
            *why = openPort.name + ": " + std::strerror(error);
        }
        return 1;
    }
    return 0;
}

void slcanPortWait(int64_t deadlineUs) {
    if (openPort.fd == NO_PORT) {
        return;
    }
    const int64_t remainingUs = deadlineUs - clockNowUs();
    if (remainingUs <= 0) {
        return;
    }
    // Rounded up, so that the wait never ends just before the deadline and spins.
    const int64_t remainingMs = (remainingUs + US_PER_MS - 1) / US_PER_MS;
    pollfd readable{openPort.fd, POLLIN, 0};
    poll(&readable, 1, remainingMs > INT_MAX ? INT_MAX : static_cast<int>(remainingMs));
}

const char* slcanPortGone() {
    if (openPort.fd != NO_PORT && openPort.goneReason[0] == '\0') {
        pollfd port{openPort.fd, POLLIN, 0};
        if (poll(&port, 1, 0) == 1 && (port.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            noteGone("the port hung up");
        }
    }
    return openPort.goneReason[0] != '\0' ? openPort.goneReason : nullptr;
}

void slcanPortClose() {
    if (openPort.fd != NO_PORT) {
        close(openPort.fd);
        openPort.fd = NO_PORT;
    }
    openPort.goneReason[0] = '\0';
}

void slcanPortNameBus(const std::string& port, BusName* bus) {
    bus->shown = port;
    struct stat status {};
    if (stat(port.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return;
    }
    const std::string device = "slcan-dev-" + std::to_string(major(status.st_rdev)) + "-" +
                               std::to_string(minor(status.st_rdev));
#if defined(__linux__)
    bus->lockName = device;
#else
    bus->lockFile = "/tmp/dovelflash-" + device + ".lock";
#endif
}

std::string slcanPortShortName(const std::string& port) {
    const size_t slash = port.find_last_of('/');
    return slash == std::string::npos ? port : port.substr(slash + 1);
}
