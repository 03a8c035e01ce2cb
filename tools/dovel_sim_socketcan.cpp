// Runs the simulated hand in real time behind a SocketCAN interface, so that the
// utility can update it through the socketcan backend as it would a real hand:
//
//   dovel-sim-socketcan IFACE [OPTIONS] [--trace FILE]
//
// OPTIONS are the hand's (see sim/sim_options.h), "fast" excepted. Frames that other
// nodes put on the interface reach the hand as the host's frames; frames the hand has
// for the host go out on the interface, the hand's adapter status messages as
// controller error frames. Prints "ready" on standard output once it listens.
// SIGTERM or SIGINT ends it: with no host on the bus any more, the hand then finishes
// what it is doing (a controller's reset, say) and its report goes to standard error.
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_api.h"
#include "can/can_trace.h"
#include "can/clock.h"
#include "can/socketcan_frames.h"
#include "sim/sim_hand.h"
#include "tools/sim_process.h"

namespace {

constexpr int EXIT_USAGE = 2;
// The longest sleep while the hand has nothing to do: a stop request ends it anyway.
constexpr int64_t IDLE_WAIT_US = 100000;
constexpr int64_t NS_PER_US = 1000;
constexpr int64_t US_PER_S = 1000000;
// How long a frame for the bus waits at most for room in the transmit queue.
constexpr int64_t SEND_RETRY_US = 100000;
constexpr int SEND_RETRY_PAUSE_US = 200;
// Waits shorter than this are spent polling, not sleeping: a timer may wake a process
// hundreds of microseconds late (much more so in an emulated machine), while the
// hand's steps within one exchange are tens of microseconds apart.
constexpr int64_t SPIN_WAIT_LIMIT_US = 1000;

struct Arguments {
    const char* iface;
    std::string options;
    const char* tracePath;
};

int parseArguments(int argc, char** argv, Arguments* arguments) {
    *arguments = Arguments{nullptr, "", nullptr};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            arguments->tracePath = argv[++i];
        } else if (!arguments->iface) {
            arguments->iface = argv[i];
        } else if (arguments->options.empty()) {
            arguments->options = argv[i];
        } else {
            return 1;
        }
    }
    return arguments->iface ? 0 : 1;
}

int openBusSocket(const char* iface) {
    const unsigned index = if_nametoindex(iface);
    if (index == 0) {
        std::fprintf(stderr, "dovel-sim-socketcan: interface %s: %s\n", iface,
                     std::strerror(errno));
        return -1;
    }
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        std::fprintf(stderr, "dovel-sim-socketcan: CAN socket: %s\n", std::strerror(errno));
        return -1;
    }
    const can_filter standardData = {0, CAN_EFF_FLAG | CAN_RTR_FLAG};
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    if (setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, &standardData, sizeof standardData) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "dovel-sim-socketcan: interface %s: %s\n", iface,
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// The hand's adapter status messages have no frame of their own on a SocketCAN bus;
// a controller error frame is what a listening node would see of such a condition.
can_frame statusAsErrorFrame() {
    can_frame out{};
    out.can_id = CAN_ERR_FLAG | CAN_ERR_CRTL;
    out.can_dlc = CAN_ERR_DLC;
    out.data[1] = CAN_ERR_CRTL_UNSPEC;
    return out;
}

void sendOnBus(int fd, const can_frame& out) {
    const int64_t giveUpUs = realClockNowUs() + SEND_RETRY_US;
    for (;;) {
        if (send(fd, &out, sizeof out, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof out)) {
            return;
        }
        const bool queueFull = errno == ENOBUFS || errno == EAGAIN || errno == EINTR;
        if (!queueFull || realClockNowUs() >= giveUpUs) {
            std::fprintf(stderr, "dovel-sim-socketcan: frame 0x%x not sent: %s\n",
                         static_cast<unsigned>(out.can_id), std::strerror(errno));
            return;
        }
        realSleepUs(SEND_RETRY_PAUSE_US);
    }
}

void takeHostFrames(int fd, SimHand* hand, int64_t nowUs) {
    can_frame in{};
    while (recv(fd, &in, sizeof in, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof in)) {
        CanFrame frame{};
        if (socketcanFromKernel(in, &frame) == SOCKETCAN_DATA_FRAME) {
            simHandHostWrite(hand, nowUs, &frame);
        }
    }
}

void deliverToBus(int fd, SimHand* hand, int64_t nowUs) {
    while (simHandHostFrameDue(hand, nowUs)) {
        CanFrame frame{};
        const int32_t result = simHandHostRead(hand, nowUs, &frame);
        if (result == RX_QUEUE_EMPTY) {
            return;
        }
        if (result != CAN_OK) {
            std::fprintf(stderr, "dovel-sim-socketcan: the hand's read failed with %ld\n",
                         static_cast<long>(result));
            continue;
        }
        can_frame out{};
        if (frame.TYPE == FRAME_TYPE_STATUS) {
            out = statusAsErrorFrame();
        } else if (socketcanToKernel(frame, &out) != 0) {
            std::fprintf(stderr,
                         "dovel-sim-socketcan: the hand's frame 0x%x cannot go on the bus\n",
                         static_cast<unsigned>(frame.ID));
            continue;
        }
        sendOnBus(fd, out);
    }
}

// Polls the socket without sleeping until untilRealUs or a frame arrives; yields the
// processor between polls, so the utility still runs on a single-processor machine.
void spinUntil(int fd, int64_t untilRealUs) {
    pollfd readable{fd, POLLIN, 0};
    while (realClockNowUs() < untilRealUs && poll(&readable, 1, 0) <= 0) {
        sched_yield();
    }
}

// Waits until the hand's next event, a frame on the bus or a stop request.
void waitForWork(int fd, const SimHand* hand, int64_t startUs, const sigset_t* waitMask) {
    const int64_t nowUs = realClockNowUs() - startUs;
    const int64_t nextUs = simHandNextEventUs(hand);
    int64_t waitUs = nextUs == SIM_NO_EVENT ? IDLE_WAIT_US : nextUs - nowUs;
    waitUs = waitUs < 0 ? 0 : (waitUs > IDLE_WAIT_US ? IDLE_WAIT_US : waitUs);
    if (waitUs < SPIN_WAIT_LIMIT_US) {
        spinUntil(fd, startUs + nowUs + waitUs);
        return;
    }
    const timespec timeout = {static_cast<time_t>(waitUs / US_PER_S),
                              static_cast<long>((waitUs % US_PER_S) * NS_PER_US)};
    pollfd readable{fd, POLLIN, 0};
    ppoll(&readable, 1, &timeout, waitMask);
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments{};
    if (parseArguments(argc, argv, &arguments) != 0) {
        std::fprintf(stderr, "usage: dovel-sim-socketcan IFACE [OPTIONS] [--trace FILE]\n");
        return EXIT_USAGE;
    }
    std::string error;
    SimHand* hand = simHandCreate(arguments.options.c_str(), &error);
    if (!hand) {
        std::fprintf(stderr, "dovel-sim-socketcan: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (simHandUsesFastClock(hand)) {
        std::fprintf(stderr, "dovel-sim-socketcan: the hand runs in real time here, not fast\n");
        simHandDestroy(hand);
        return EXIT_USAGE;
    }
    // The hand's time 0; its trace is stamped with the wall clock from here.
    const int64_t startUs = realClockNowUs();
    const SimTraceSettings trace{true, canTraceWallClockUs(),
                                 arguments.tracePath && simTraceUnmaskedAsked()};
    if (arguments.tracePath && simHandTraceTo(hand, arguments.tracePath, trace) != 0) {
        std::fprintf(stderr, "dovel-sim-socketcan: cannot write %s\n", arguments.tracePath);
        simHandDestroy(hand);
        return 1;
    }
    const int fd = openBusSocket(arguments.iface);
    if (fd < 0) {
        simHandDestroy(hand);
        return 1;
    }
    sigset_t waitMask;
    catchStopSignals(&waitMask);
    std::printf("ready\n");
    std::fflush(stdout);

    while (!simStopRequested) {
        const int64_t nowUs = realClockNowUs() - startUs;
        simHandAdvance(hand, nowUs);
        takeHostFrames(fd, hand, nowUs);
        deliverToBus(fd, hand, nowUs);
        waitForWork(fd, hand, startUs, &waitMask);
    }
    settleHand(hand);
    simHandReport(hand, stderr);
    close(fd);
    simHandDestroy(hand);
    return 0;
}
