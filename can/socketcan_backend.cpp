#include "can/socketcan_backend.h"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/socketcan_frames.h"
#include "can/socketcan_link.h"

namespace {

constexpr int NO_SOCKET = -1;
constexpr int WRITE_RETRY_PAUSE_MS = 1;
constexpr int64_t US_PER_MS = 1000;

// The adapter operations have no handle of their own: the link lives here for the
// process, like the adapter library's.
constexpr int DOWN_REASON_SIZE = 96;

struct SocketcanLink {
    int fd;
    char iface[IFNAMSIZ];
    unsigned index;  // the interface bound, 0 before the first successful Init
    // Why the interface is gone or down, as the last send or receive told it; empty while
    // it works.
    char downReason[DOWN_REASON_SIZE];
    // The kernel's error frame that the last record read was made from, for the trace.
    bool readErrorFrame;
    can_frame lastErrorFrame;
};

SocketcanLink openLink = {NO_SOCKET, {}, 0, {}, false, {}};

// The interface as the bus was named for its lock: the name given and the index it
// stood for then. The link binds that index, whatever the name stands for by the time
// of the bind (an interface renamed, or deleted and another made under its name), so
// that the interface locked is the one used. index 0: the name stood for none.
struct NamedInterface {
    bool named;
    char iface[IFNAMSIZ];
    unsigned index;
};

NamedInterface namedInterface = {false, {}, 0};

// Names the bus for the interface: an alternative name reaches the same index as the
// interface's own name, so both meet one lock.
void nameInterface(const char (&iface)[IFNAMSIZ], BusName* bus) {
    namedInterface.named = true;
    std::memcpy(namedInterface.iface, iface, sizeof iface);
    namedInterface.index = if_nametoindex(iface);
    bus->shown = iface;
    // No interface, no lock: the link start-up then fails for the missing interface,
    // and the next attempt names it again.
    if (namedInterface.index != 0) {
        bus->lockName = "socketcan-ifindex-" + std::to_string(namedInterface.index);
    }
}

// The index Init binds: the one named for the lock, or, for a link opened without its
// bus named (a test of the backend alone), the one its name stands for now.
unsigned interfaceIndex() {
    if (namedInterface.named && std::strcmp(namedInterface.iface, openLink.iface) == 0) {
        if (namedInterface.index == 0) {
            errno = ENODEV;
        }
        return namedInterface.index;
    }
    return if_nametoindex(openLink.iface);
}

// The kernel's word that the interface itself is gone (deleted, its USB adapter pulled
// out) or down: no frame passes until someone brings it back.
bool interfaceGoneOrDown(int error) {
    return error == ENODEV || error == ENXIO || error == ENETDOWN;
}

void noteLinkError(int error) {
    if (interfaceGoneOrDown(error)) {
        std::snprintf(openLink.downReason, sizeof openLink.downReason, "%s: %s", openLink.iface,
                      std::strerror(error));
    }
}

void closeSocket() {
    if (openLink.fd != NO_SOCKET) {
        close(openLink.fd);
        openLink.fd = NO_SOCKET;
    }
}

int32_t failInit(int32_t code, int fd) {
    if (fd != NO_SOCKET) {
        close(fd);
    }
    return code;
}

// The checks the kernel can answer before a socket is opened, each with its line.
int32_t checkInterface(unsigned* index) {
    *index = interfaceIndex();
    if (*index == 0) {
        std::fprintf(stderr, "socketcan: interface %s: %s\n", openLink.iface, std::strerror(errno));
        return SOCKETCAN_ERR_NO_INTERFACE;
    }
    SocketcanLinkState state{};
    const int queryError = socketcanQueryLink(*index, &state);
    // The interface locked is gone since it was named.
    if (queryError == ENODEV) {
        std::fprintf(stderr, "socketcan: interface %s: %s\n", openLink.iface,
                     std::strerror(queryError));
        return SOCKETCAN_ERR_NO_INTERFACE;
    }
    if (queryError != 0) {
        std::fprintf(stderr, "socketcan: interface %s: cannot read its state: %s\n", openLink.iface,
                     std::strerror(queryError));
        return queryError == ENODEV ? SOCKETCAN_ERR_NO_INTERFACE : SOCKETCAN_ERR_SOCKET;
    }
    if (state.type != ARPHRD_CAN) {
        std::fprintf(stderr, "socketcan: interface %s is not a CAN interface\n", openLink.iface);
        return SOCKETCAN_ERR_NOT_CAN;
    }
    const bool isController = std::strcmp(state.kind, "can") == 0;
    if (!(state.flags & IFF_UP)) {
        std::fprintf(stderr, "socketcan: interface %s: %s (bring it up: ip link set %s up%s)\n",
                     openLink.iface, std::strerror(ENETDOWN), openLink.iface,
                     isController ? " type can bitrate 1000000" : "");
        return SOCKETCAN_ERR_INTERFACE_DOWN;
    }
    if (state.bitrate != 0 && state.bitrate != SOCKETCAN_REQUIRED_BITRATE) {
        std::fprintf(stderr,
                     "socketcan: interface %s runs at %u bit/s, the hand's bus at %u (set it: "
                     "ip link set %s down && ip link set %s up type can bitrate %u)\n",
                     openLink.iface, static_cast<unsigned>(state.bitrate),
                     static_cast<unsigned>(SOCKETCAN_REQUIRED_BITRATE), openLink.iface,
                     openLink.iface, static_cast<unsigned>(SOCKETCAN_REQUIRED_BITRATE));
        return SOCKETCAN_ERR_BITRATE;
    }
    return CAN_OK;
}

int32_t socketcanInit(uint16_t bitTiming, int frameType) {
    // A restart after a failed read opens the link again: the earlier socket goes.
    closeSocket();
    if (bitTiming != CAN_BITRATE_1M || frameType != CAN_INIT_TYPE_STANDARD) {
        std::fprintf(stderr,
                     "socketcan: only bit timing 0x%04x (1 Mbit/s) with standard frames is "
                     "supported, not 0x%04x with frame type %d\n",
                     static_cast<unsigned>(CAN_BITRATE_1M), static_cast<unsigned>(bitTiming),
                     frameType);
        return SOCKETCAN_ERR_UNSUPPORTED;
    }
    unsigned index = 0;
    const int32_t checked = checkInterface(&index);
    if (checked == SOCKETCAN_ERR_NO_INTERFACE || checked == SOCKETCAN_ERR_INTERFACE_DOWN) {
        noteLinkError(checked == SOCKETCAN_ERR_NO_INTERFACE ? ENODEV : ENETDOWN);
    }
    if (checked != CAN_OK) {
        return checked;
    }

    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        std::fprintf(stderr, "socketcan: interface %s: cannot open a CAN socket: %s\n",
                     openLink.iface, std::strerror(errno));
        return SOCKETCAN_ERR_SOCKET;
    }
    // Until CAN_MsgFilter narrows it, every standard data frame passes.
    const can_filter allStandardData = {0, CAN_EFF_FLAG | CAN_RTR_FLAG};
    const can_err_mask_t errors = SOCKETCAN_REPORTED_ERRORS;
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &allStandardData, sizeof allStandardData) !=
            0 ||
        setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "socketcan: interface %s: cannot set up the CAN socket: %s\n",
                     openLink.iface, std::strerror(errno));
        return failInit(SOCKETCAN_ERR_SOCKET, fd);
    }
    openLink.fd = fd;
    openLink.index = index;
    openLink.downReason[0] = '\0';
    return CAN_OK;
}

int32_t socketcanRead(CanFrame* frame) {
    if (openLink.fd == NO_SOCKET) {
        return SOCKETCAN_ERR_NOT_OPEN;
    }
    for (;;) {
        can_frame in{};
        const ssize_t received = recv(openLink.fd, &in, sizeof in, MSG_DONTWAIT);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return RX_QUEUE_EMPTY;
        }
        if (received != static_cast<ssize_t>(sizeof in)) {
            if (received < 0) {
                noteLinkError(errno);
            }
            std::fprintf(stderr, "socketcan: interface %s: reading: %s\n", openLink.iface,
                         received < 0 ? std::strerror(errno) : "incomplete frame");
            return SOCKETCAN_ERR_READ;
        }
        const SocketcanFrameKind kind = socketcanFromKernel(in, frame);
        if (kind != SOCKETCAN_SKIPPED) {
            openLink.downReason[0] = '\0';
            openLink.readErrorFrame = kind == SOCKETCAN_ERROR_FRAME;
            openLink.lastErrorFrame = in;
            return CAN_OK;
        }
    }
}

bool transmitQueueFull(int error) {
    return error == ENOBUFS || error == EAGAIN || error == EWOULDBLOCK;
}

int32_t socketcanWrite(const CanFrame* frame) {
    if (openLink.fd == NO_SOCKET) {
        return SOCKETCAN_ERR_NOT_OPEN;
    }
    can_frame out{};
    if (socketcanToKernel(*frame, &out) != 0) {
        std::fprintf(stderr,
                     "socketcan: cannot send a record with ID 0x%x, TYPE 0x%02x and LEN %u as a "
                     "standard frame\n",
                     static_cast<unsigned>(frame->ID), static_cast<unsigned>(frame->TYPE),
                     static_cast<unsigned>(frame->LEN));
        return SOCKETCAN_ERR_BAD_FRAME;
    }
    // A full queue empties within a few frame times on a working bus; a frame is not
    // dropped for it unless the queue stays full.
    const int64_t giveUpUs = clockNowUs() + SOCKETCAN_WRITE_RETRY_MS * US_PER_MS;
    for (;;) {
        const ssize_t sent = send(openLink.fd, &out, sizeof out, MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(sizeof out)) {
            openLink.downReason[0] = '\0';
            return CAN_OK;
        }
        const int error = sent < 0 ? errno : EIO;
        noteLinkError(error);
        if (error == EINTR) {
            continue;
        }
        if (transmitQueueFull(error) && clockNowUs() < giveUpUs) {
            sleepMs(WRITE_RETRY_PAUSE_MS);
            continue;
        }
        std::fprintf(stderr, "socketcan: interface %s: sending ID 0x%x: %s\n", openLink.iface,
                     static_cast<unsigned>(frame->ID), std::strerror(error));
        return SOCKETCAN_ERR_WRITE;
    }
}

int32_t socketcanResetClient() {
    if (openLink.fd == NO_SOCKET) {
        return SOCKETCAN_ERR_NOT_OPEN;
    }
    can_frame stale{};
    for (int dropped = 0; dropped < SOCKETCAN_RESET_DISCARD_LIMIT;) {
        const ssize_t received = recv(openLink.fd, &stale, sizeof stale, MSG_DONTWAIT);
        if (received >= 0) {
            ++dropped;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            std::fprintf(stderr, "socketcan: interface %s: emptying the receive queue: %s\n",
                         openLink.iface, std::strerror(errno));
            return SOCKETCAN_ERR_READ;
        }
    }
    return CAN_OK;
}

int32_t socketcanMsgFilter(uint32_t lowestId, uint32_t highestId, int frameType) {
    if (openLink.fd == NO_SOCKET) {
        return SOCKETCAN_ERR_NOT_OPEN;
    }
    if (frameType != CAN_INIT_TYPE_STANDARD) {
        std::fprintf(stderr, "socketcan: only standard frames can be filtered, not type %d\n",
                     frameType);
        return SOCKETCAN_ERR_UNSUPPORTED;
    }
    can_filter filters[SOCKETCAN_MAX_RANGE_FILTERS];
    const int count = socketcanRangeFilters(lowestId, highestId, filters);
    if (count == 0) {
        std::fprintf(stderr, "socketcan: no standard identifiers in the range %u to %u\n",
                     static_cast<unsigned>(lowestId), static_cast<unsigned>(highestId));
        return SOCKETCAN_ERR_FILTER;
    }
    if (setsockopt(openLink.fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters,
                   static_cast<socklen_t>(count * sizeof filters[0])) != 0) {
        std::fprintf(stderr, "socketcan: interface %s: setting the receive filter: %s\n",
                     openLink.iface, std::strerror(errno));
        return SOCKETCAN_ERR_FILTER;
    }
    return CAN_OK;
}

void socketcanWaitForFrame(int64_t deadlineUs) {
    if (openLink.fd == NO_SOCKET) {
        return;
    }
    const int64_t remainingUs = deadlineUs - clockNowUs();
    if (remainingUs <= 0) {
        return;
    }
    // Rounded up, so that the wait never ends just before the deadline and spins.
    const int64_t remainingMs = (remainingUs + US_PER_MS - 1) / US_PER_MS;
    pollfd readable{openLink.fd, POLLIN, 0};
    poll(&readable, 1, remainingMs > INT_MAX ? INT_MAX : static_cast<int>(remainingMs));
}

const char* socketcanTraceInterface() { return openLink.iface; }

void socketcanNameOpenBus(BusName* bus) { nameInterface(openLink.iface, bus); }

const char* socketcanLinkDown() {
    return openLink.downReason[0] != '\0' ? openLink.downReason : nullptr;
}

// A socket whose interface was deleted or set down may just read nothing: the kernel's
// own view of the interface tells.
const char* socketcanProbeLink() {
    if (openLink.downReason[0] == '\0' && openLink.index != 0) {
        // By the index bound: a new interface under the old name is not this link.
        SocketcanLinkState state{};
        const int queryError = socketcanQueryLink(openLink.index, &state);
        if (queryError == ENODEV) {
            noteLinkError(ENODEV);
        } else if (queryError == 0 && !(state.flags & IFF_UP)) {
            noteLinkError(ENETDOWN);
        }
    }
    return socketcanLinkDown();
}

int socketcanTraceErrorFrame(CanErrorFrame* frame) {
    if (!openLink.readErrorFrame) {
        return 1;
    }
    frame->ID = openLink.lastErrorFrame.can_id;
    static_assert(sizeof frame->DATA == sizeof openLink.lastErrorFrame.data);
    std::memcpy(frame->DATA, openLink.lastErrorFrame.data, sizeof frame->DATA);
    return 0;
}

const CanBackend SOCKETCAN_BACKEND = {"socketcan",
                                      socketcanInit,
                                      socketcanRead,
                                      socketcanWrite,
                                      socketcanResetClient,
                                      socketcanMsgFilter,
                                      socketcanWaitForFrame,
                                      nullptr,
                                      socketcanTraceInterface,
                                      closeSocket,
                                      socketcanLinkDown,
                                      socketcanProbeLink,
                                      socketcanTraceErrorFrame,
                                      socketcanNameOpenBus};

}  // namespace

void socketcanNameBus(const char* options, BusName* bus) {
    char iface[IFNAMSIZ];
    // "socketcan" and "socketcan:can0" are one bus: the name is the interface's.
    if (socketcanParseOptions(options, iface) == 0) {
        nameInterface(iface, bus);
    }
}

int socketcanCheckOptions(const char* options, std::string* problem) {
    char iface[IFNAMSIZ];
    if (socketcanParseOptions(options, iface) != 0) {
        *problem = std::string("socketcan takes an interface name of 1 to ") +
                   std::to_string(IFNAMSIZ - 1) + " characters (socketcan:can0)";
        return 1;
    }
    return 0;
}

const CanBackend* socketcanOpenBackend(const char* options) {
    char iface[IFNAMSIZ];
    if (socketcanParseOptions(options, iface) != 0) {
        // The kernel's own name of an interface is always short enough; an alternative
        // name may be longer than the index look-up takes.
        if (std::strlen(options) >= IFNAMSIZ && std::strpbrk(options, "/: \t") == nullptr) {
            std::fprintf(stderr,
                         "socketcan: '%s' is longer than %d characters: give the interface's "
                         "own name (ip link show), not a long alternative name\n",
                         options, IFNAMSIZ - 1);
        } else {
            std::fprintf(stderr, "socketcan: '%s' is not an interface name\n", options);
        }
        return nullptr;
    }
    closeSocket();
    std::memcpy(openLink.iface, iface, sizeof iface);
    openLink.downReason[0] = '\0';
    return &SOCKETCAN_BACKEND;
}
