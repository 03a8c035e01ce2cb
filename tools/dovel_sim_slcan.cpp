// Runs the simulated hand in real time behind a pseudo-terminal that speaks the serial-
// line CAN protocol as a USB-to-CAN adapter does, so that the utility (DOVEL_CAN=slcan:
// PORT) or any slcan host can update or query it as it would a real hand:
//
//   dovel-sim-slcan [OPTIONS] [--link PATH] [--trace FILE]
//
// OPTIONS are the hand's (see sim/sim_options.h), "fast" excepted; latency=US models the
// USB round trip of an adapter. Prints "ready PORT" on standard output once the port
// takes commands; --link also makes PATH a symbolic link to PORT (a stable name, or a
// wine prefix's dosdevices/com5). The adapter answers "C", "Sn", "Zn", "O", "F", "V",
// "N", "t", "T", "r" and "R" commands, refuses others with BEL, and puts the hand's
// frames on the line as "t" lines while its channel is open. The hand's adapter status
// messages set the bus error flag, which the next "F" reports and clears. When the
// unplug-after fault pulls the adapter out, the port goes away. SIGTERM or SIGINT ends
// it: the hand then finishes what it is doing and its report goes to standard error.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "can/can_api.h"
#include "can/can_trace.h"
#include "can/clock.h"
#include "can/slcan_protocol.h"
#include "sim/sim_hand.h"
#include "tools/sim_process.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int64_t IDLE_WAIT_US = 100000;
constexpr int64_t US_PER_MS = 1000;
constexpr int64_t SPIN_WAIT_LIMIT_US = 1000;
constexpr int64_t SEND_LIMIT_US = 100000;
constexpr int SEND_RETRY_PAUSE_US = 200;
// A command line longer than any command is refused whole.
constexpr size_t MAX_COMMAND = 32;
constexpr int BIT_RATE_1M = 8;
constexpr const char* VERSION_ANSWER = "V1010\r";
constexpr const char* SERIAL_ANSWER = "NSIM1\r";

struct Arguments {
    std::string options;
    const char* linkPath;
    const char* tracePath;
};

int parseArguments(int argc, char** argv, Arguments* arguments) {
    *arguments = Arguments{"", nullptr, nullptr};
    bool optionsGiven = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            arguments->tracePath = argv[++i];
        } else if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc) {
            arguments->linkPath = argv[++i];
        } else if (!optionsGiven) {
            arguments->options = argv[i];
            optionsGiven = true;
        } else {
            return 1;
        }
    }
    return 0;
}

// The adapter as the host sees it through the port.
struct Adapter {
    int master;
    int slave;  // held open, so that the port stays up between the host's runs
    bool open;
    int bitRate;
    uint8_t flags;
    std::string command;  // the command being received
    bool overlong;
    bool unplugged;
};

void answer(Adapter* adapter, const char* text, size_t length) {
    const int64_t giveUpUs = realClockNowUs() + SEND_LIMIT_US;
    size_t done = 0;
    while (done < length && !adapter->unplugged) {
        const ssize_t wrote = write(adapter->master, text + done, length - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
        } else if ((errno == EAGAIN || errno == EINTR) && realClockNowUs() < giveUpUs) {
            realSleepUs(SEND_RETRY_PAUSE_US);
        } else {
            std::fprintf(stderr, "dovel-sim-slcan: the host reads nothing, answer dropped\n");
            return;
        }
    }
}

void answer(Adapter* adapter, const std::string& text) {
    answer(adapter, text.data(), text.size());
}

void refuse(Adapter* adapter) { answer(adapter, std::string(1, SLCAN_BEL)); }

void unplug(Adapter* adapter) {
    if (!adapter->unplugged) {
        adapter->unplugged = true;
        close(adapter->slave);
        close(adapter->master);
    }
}

bool onBus(const Adapter& adapter) { return adapter.open && adapter.bitRate == BIT_RATE_1M; }

// A "t" command for the hand: the same text as a received "t" line.
void takeFrameCommand(Adapter* adapter, SimHand* hand, int64_t nowUs) {
    const SlcanAnswer frame = slcanDecodeLine(adapter->command.data(), adapter->command.size());
    if (!adapter->open || frame.kind != SLCAN_STANDARD_FRAME) {
        refuse(adapter);
        return;
    }
    if (onBus(*adapter) && simHandHostWrite(hand, nowUs, &frame.frame) == SIM_ADAPTER_GONE) {
        unplug(adapter);
        return;
    }
    answer(adapter, std::string("z") + SLCAN_CR);
}

void runCommand(Adapter* adapter, SimHand* hand, int64_t nowUs) {
    const std::string& command = adapter->command;
    const std::string ok(1, SLCAN_CR);
    const char letter = command.empty() ? '\0' : command[0];
    if (command.empty()) {
        answer(adapter, ok);
    } else if (letter == 'C' && command.size() == 1 && adapter->open) {
        adapter->open = false;
        answer(adapter, ok);
    } else if (letter == 'O' && command.size() == 1 && !adapter->open) {
        adapter->open = true;
        answer(adapter, ok);
    } else if (letter == 'S' && command.size() == 2 && command[1] >= '0' && command[1] <= '8' &&
               !adapter->open) {
        adapter->bitRate = command[1] - '0';
        answer(adapter, ok);
    } else if (letter == 'Z' && command.size() == 2 && (command[1] == '0' || command[1] == '1')) {
        answer(adapter, ok);
    } else if (letter == 'F' && command.size() == 1) {
        char flags[8];
        std::snprintf(flags, sizeof flags, "F%02X\r", adapter->flags);
        adapter->flags = 0;
        answer(adapter, flags);
    } else if (letter == 'V' && command.size() == 1) {
        answer(adapter, VERSION_ANSWER);
    } else if (letter == 'N' && command.size() == 1) {
        answer(adapter, SERIAL_ANSWER);
    } else if (letter == 't') {
        takeFrameCommand(adapter, hand, nowUs);
    } else if ((letter == 'T' || letter == 'R' || letter == 'r') && adapter->open) {
        // Frames the hand's bus does not carry: taken, and lost.
        answer(adapter, std::string(letter == 'r' ? "z" : "Z") + SLCAN_CR);
    } else {
        refuse(adapter);
    }
}

// Takes what the host wrote, command by command.
void takeCommands(Adapter* adapter, SimHand* hand, int64_t nowUs) {
    char bytes[256];
    for (;;) {
        const ssize_t got = read(adapter->master, bytes, sizeof bytes);
        if (got <= 0) {
            return;
        }
        for (ssize_t i = 0; i < got && !adapter->unplugged; ++i) {
            if (bytes[i] != SLCAN_CR) {
                adapter->overlong = adapter->overlong || adapter->command.size() >= MAX_COMMAND;
                if (!adapter->overlong) {
                    adapter->command += bytes[i];
                }
                continue;
            }
            if (adapter->overlong) {
                refuse(adapter);
            } else {
                runCommand(adapter, hand, nowUs);
            }
            adapter->command.clear();
            adapter->overlong = false;
        }
    }
}

void deliverToHost(Adapter* adapter, SimHand* hand, int64_t nowUs) {
    while (!adapter->unplugged && simHandHostFrameDue(hand, nowUs)) {
        CanFrame frame{};
        const int32_t result = simHandHostRead(hand, nowUs, &frame);
        if (result == RX_QUEUE_EMPTY) {
            return;
        }
        if (result == SIM_ADAPTER_GONE) {
            unplug(adapter);
            return;
        }
        if (result != CAN_OK) {
            std::fprintf(stderr, "dovel-sim-slcan: the hand's read failed with %ld\n",
                         static_cast<long>(result));
            continue;
        }
        if (frame.TYPE == FRAME_TYPE_STATUS) {
            adapter->flags |= SLCAN_FLAG_BUS_ERROR;
            continue;
        }
        char line[SLCAN_MAX_FRAME_COMMAND + 1];
        const size_t length = slcanFrameCommand(frame, line);
        if (length != 0 && onBus(*adapter)) {
            answer(adapter, line, length);
        }
    }
}

void waitForWork(const Adapter& adapter, const SimHand* hand, int64_t startUs,
                 const sigset_t* waitMask) {
    const int64_t nowUs = realClockNowUs() - startUs;
    const int64_t nextUs = simHandNextEventUs(hand);
    int64_t waitUs = nextUs == SIM_NO_EVENT ? IDLE_WAIT_US : nextUs - nowUs;
    waitUs = waitUs < 0 ? 0 : (waitUs > IDLE_WAIT_US ? IDLE_WAIT_US : waitUs);
    pollfd readable{adapter.master, POLLIN, 0};
    if (waitUs < SPIN_WAIT_LIMIT_US) {
        while (realClockNowUs() - startUs < nowUs + waitUs && poll(&readable, 1, 0) <= 0) {
            sched_yield();
        }
        return;
    }
    const timespec timeout = {static_cast<time_t>(waitUs / 1000000),
                              static_cast<long>((waitUs % 1000000) * 1000)};
    ppoll(&readable, 1, &timeout, waitMask);
}

// The pseudo-terminal, its far side held open in raw mode: 0 with its name, or 1.
int openPort(Adapter* adapter, std::string* name) {
    adapter->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (adapter->master < 0 || grantpt(adapter->master) != 0 || unlockpt(adapter->master) != 0 ||
        ptsname(adapter->master) == nullptr) {
        std::fprintf(stderr, "dovel-sim-slcan: no pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    *name = ptsname(adapter->master);
    adapter->slave = open(name->c_str(), O_RDWR | O_NOCTTY);
    termios settings{};
    if (adapter->slave < 0 || tcgetattr(adapter->slave, &settings) != 0) {
        std::fprintf(stderr, "dovel-sim-slcan: %s: %s\n", name->c_str(), std::strerror(errno));
        return 1;
    }
    // Raw before any host opens it: no echo of the host's commands back to it.
    cfmakeraw(&settings);
    tcsetattr(adapter->slave, TCSANOW, &settings);
    const int flags = fcntl(adapter->master, F_GETFL);
    fcntl(adapter->master, F_SETFL, flags | O_NONBLOCK);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments{};
    if (parseArguments(argc, argv, &arguments) != 0) {
        std::fprintf(stderr, "usage: dovel-sim-slcan [OPTIONS] [--link PATH] [--trace FILE]\n");
        return EXIT_USAGE;
    }
    std::string error;
    SimHand* hand = simHandCreate(arguments.options.c_str(), &error);
    if (!hand) {
        std::fprintf(stderr, "dovel-sim-slcan: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    if (simHandUsesFastClock(hand)) {
        std::fprintf(stderr, "dovel-sim-slcan: the hand runs in real time here, not fast\n");
        simHandDestroy(hand);
        return EXIT_USAGE;
    }
    Adapter adapter{-1, -1, false, BIT_RATE_1M, 0, "", false, false};
    std::string port;
    if (openPort(&adapter, &port) != 0) {
        simHandDestroy(hand);
        return 1;
    }
    if (arguments.linkPath) {
        unlink(arguments.linkPath);
        if (symlink(port.c_str(), arguments.linkPath) != 0) {
            std::fprintf(stderr, "dovel-sim-slcan: cannot link %s: %s\n", arguments.linkPath,
                         std::strerror(errno));
            simHandDestroy(hand);
            return 1;
        }
    }
    const int64_t startUs = realClockNowUs();
    const SimTraceSettings trace{true, canTraceWallClockUs(),
                                 arguments.tracePath && simTraceUnmaskedAsked()};
    if (arguments.tracePath && simHandTraceTo(hand, arguments.tracePath, trace) != 0) {
        std::fprintf(stderr, "dovel-sim-slcan: cannot write %s\n", arguments.tracePath);
        simHandDestroy(hand);
        return 1;
    }
    sigset_t waitMask;
    catchStopSignals(&waitMask);
    std::printf("ready %s\n", port.c_str());
    std::fflush(stdout);

    while (!simStopRequested && !adapter.unplugged) {
        const int64_t nowUs = realClockNowUs() - startUs;
        simHandAdvance(hand, nowUs);
        takeCommands(&adapter, hand, nowUs);
        deliverToHost(&adapter, hand, nowUs);
        if (!adapter.unplugged) {
            waitForWork(adapter, hand, startUs, &waitMask);
        }
    }
    // A pulled-out adapter: the hand runs on until stopped, as its controllers would.
    while (!simStopRequested) {
        sigsuspend(&waitMask);
    }
    settleHand(hand);
    simHandReport(hand, stderr);
    unplug(&adapter);
    if (arguments.linkPath) {
        unlink(arguments.linkPath);
    }
    simHandDestroy(hand);
    return 0;
}
