// The slcan backend over a pseudo-terminal, with the test as the adapter: the start-up
// commands and their BELs, acknowledgements taken, frames, the software filter, status
// polls, protocol faults and a port that goes away.
#if !defined(_WIN32)
#include "can/slcan_backend.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "can/slcan_port.h"
#include "can/slcan_protocol.h"
#include "tests/support/child_run.h"

namespace {

constexpr int POLL_STEP_MS = 5;
constexpr int64_t READ_BOUND_US = 150000;

// The test's clock: the machine's while the link starts (its waits need time to pass),
// then stopped, moving only by the jumps the test makes, so the status poll's period
// passes exactly when the test says.
std::atomic<bool> clockStopped{false};
std::atomic<int64_t> stoppedAtUs{0};
int64_t jumpingNowUs() {
    if (!clockStopped) {
        // Where the clock stops: the time the link start-up read last.
        stoppedAtUs = realClockNowUs();
    }
    return stoppedAtUs;
}
void jumpingSleepUs(int64_t us) { realSleepUs(us); }
void jumpClock(int64_t us) { stoppedAtUs += us; }
const ClockSource JUMPING_CLOCK = {jumpingNowUs, jumpingSleepUs};

// The adapter's side of the port: answers each command as answerFor says, in a thread.
class PortAdapter {
  public:
    explicit PortAdapter(std::function<std::string(const std::string&)> answerFor)
        : answerFor_(std::move(answerFor)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        port_ = ptsname(master_);
        thread_ = std::thread([this] { serve(); });
    }
    ~PortAdapter() {
        stop_ = true;
        thread_.join();
        unplug();
    }
    const std::string& port() const { return port_; }
    // The commands taken so far, once there are at least count of them (or a second
    // has passed).
    std::vector<std::string> commands(size_t count = 0) {
        const int64_t giveUpUs = realClockNowUs() + 1000000;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (commands_.size() >= count || realClockNowUs() > giveUpUs) {
                    return commands_;
                }
            }
            usleep(POLL_STEP_MS * 1000);
        }
    }
    void send(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        (void)!write(master_, text.data(), text.size());
    }
    void unplug() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

  private:
    void serve() {
        std::string command;
        while (!stop_) {
            pollfd readable{master_, POLLIN, 0};
            if (master_ < 0 || poll(&readable, 1, POLL_STEP_MS) <= 0) {
                continue;
            }
            if (!(readable.revents & POLLIN)) {
                // No one has the port open: nothing to read until someone does.
                usleep(POLL_STEP_MS * 1000);
                continue;
            }
            char c = 0;
            if (read(master_, &c, 1) != 1) {
                continue;
            }
            if (c != '\r') {
                command += c;
                continue;
            }
            const std::string answer = answerFor_(command);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                commands_.push_back(command);
            }
            send(answer);
            command.clear();
        }
    }

    std::function<std::string(const std::string&)> answerFor_;
    int master_ = -1;
    std::string port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

// An adapter as most are: BEL to "C" on a closed channel, CR to the other commands,
// "z" to frames, the flags to "F".
std::string usualAnswer(const std::string& command, const std::string& flags = "F00") {
    if (command == "C") {
        return "\a";
    }
    if (!command.empty() && command[0] == 't') {
        return "z\r";
    }
    if (command == "F") {
        return flags + "\r";
    }
    return "\r";
}

class SlcanBackendTest : public testing::Test {
  protected:
    void SetUp() override {
        clockStopped = false;
        clockUse(&JUMPING_CLOCK);
    }
    void TearDown() override {
        canCloseBackend();
        clockUse(nullptr);
    }
    int32_t start(const std::string& port) {
        clockStopped = false;
        canUseBackend(slcanOpenBackend(port.c_str()));
        const int32_t result = CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
        clockStopped = true;
        return result;
    }
    // Reads until something other than an empty queue comes, for a while at most (the
    // adapter's answers take well under a millisecond).
    int32_t readSomething(CanFrame* frame) {
        const int64_t giveUpUs = realClockNowUs() + READ_BOUND_US;
        int32_t result = RX_QUEUE_EMPTY;
        while (result == RX_QUEUE_EMPTY && realClockNowUs() < giveUpUs) {
            CAN_WaitForFrame(clockNowUs() + 10000);
            result = CAN_Read(frame);
        }
        return result;
    }
};

TEST_F(SlcanBackendTest, StartUpCommandsAndTheirRefusals) {
    struct Case {
        const char* refused;  // the command answered with BEL, besides "C"
        int32_t result;
        std::vector<std::string> commands;
    };
    const std::vector<std::string> all = {"", "", "", "C", "S8", "Z0", "O"};
    const Case cases[] = {
        {"", CAN_OK, all},
        {"Z0", CAN_OK, all},
        {"S8", SLCAN_ERR_REFUSED, {"", "", "", "C", "S8"}},
        {"O", SLCAN_ERR_REFUSED, all},
    };
    for (const Case& c : cases) {
        const std::string refused = c.refused;
        PortAdapter adapter([&](const std::string& command) {
            return command == refused ? std::string("\a") : usualAnswer(command);
        });
        EXPECT_EQ(c.result, start(adapter.port())) << c.refused;
        EXPECT_EQ(c.commands, adapter.commands()) << c.refused;
        canCloseBackend();
    }
}

TEST_F(SlcanBackendTest, StartUpFailsWithoutPortOrAnswer) {
    EXPECT_EQ(SLCAN_ERR_NO_PORT, start("/dev/no-such-slcan-port"));
    EXPECT_EQ(SLCAN_ERR_PORT, start("/dev/null"));
    PortAdapter mute([](const std::string&) { return std::string(); });
    EXPECT_EQ(SLCAN_ERR_NO_ANSWER, start(mute.port()));
    EXPECT_EQ(SLCAN_ERR_UNSUPPORTED, CAN_Init(0x001C, CAN_INIT_TYPE_STANDARD));
}

TEST_F(SlcanBackendTest, FramesAcknowledgementsAndFilter) {
    PortAdapter adapter([](const std::string& command) { return usualAnswer(command); });
    ASSERT_EQ(CAN_OK, start(adapter.port()));
    CanFrame out{};
    out.ID = 0x00B;
    out.LEN = 1;
    out.DATA[0] = 0x03;
    ASSERT_EQ(CAN_OK, CAN_Write(&out));
    CanFrame in{};
    // The acknowledgement is taken, not handed on.
    adapter.send("t00C2");
    adapter.send("0102\rT0000000B0\r");
    ASSERT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(0x00Cu, in.ID);
    EXPECT_EQ(FRAME_TYPE_STANDARD, in.TYPE);
    EXPECT_EQ(2, in.LEN);
    EXPECT_EQ(0x02, in.DATA[1]);
    ASSERT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(SLCAN_TYPE_EXTENDED, in.TYPE);
    const std::vector<std::string> commands = adapter.commands(8);
    ASSERT_EQ(8u, commands.size());
    EXPECT_EQ("t00B103", commands.back());

    ASSERT_EQ(CAN_OK, CAN_MsgFilter(0x00B, 0x00C, CAN_INIT_TYPE_STANDARD));
    adapter.send("t00D0\rT0000000B0\rt00A0\rt00B0\r");
    ASSERT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(0x00Bu, in.ID);
    adapter.send("t00C0\r");
    ASSERT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(0x00Cu, in.ID);
    EXPECT_EQ(SLCAN_ERR_FILTER, CAN_MsgFilter(5, 4, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ(SLCAN_ERR_FILTER, CAN_MsgFilter(0x800, 0x900, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ(SLCAN_ERR_UNSUPPORTED, CAN_MsgFilter(0, 1023, 1));

    // What the queue holds is dropped by a reset.
    adapter.send("t00B0\rt00C0\r");
    ASSERT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(CAN_OK, CAN_ResetClient());
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&in));
    out.ID = 0x800;
    EXPECT_EQ(SLCAN_ERR_BAD_FRAME, CAN_Write(&out));
}

TEST_F(SlcanBackendTest, ProtocolFaultsAreReadErrors) {
    PortAdapter adapter([](const std::string& command) {
        return command == "t00E0" ? std::string("\a") : usualAnswer(command);
    });
    ASSERT_EQ(CAN_OK, start(adapter.port()));
    CanFrame in{};
    CanFrame refused{};
    refused.ID = 0x00E;
    ASSERT_EQ(CAN_OK, CAN_Write(&refused));
    EXPECT_EQ(SLCAN_ERR_REFUSED, readSomething(&in));
    adapter.send("hello\r");
    EXPECT_EQ(SLCAN_ERR_PROTOCOL, readSomething(&in));
    adapter.send(std::string(40, '0') + "\rt00B0\r");
    EXPECT_EQ(SLCAN_ERR_PROTOCOL, readSomething(&in));
    EXPECT_EQ(CAN_OK, readSomething(&in));
    EXPECT_EQ(nullptr, canLinkDown());
}

TEST_F(SlcanBackendTest, StatusFlagsAreAskedAndMapped) {
    std::atomic<int> asked{0};
    const char* flags[] = {"F04", "F04", "F00", "F80", "\a"};
    PortAdapter adapter([&](const std::string& command) {
        if (command == "F") {
            const int n = asked++;
            return n < 4 ? std::string(flags[n]) + "\r" : std::string("\a");
        }
        return usualAnswer(command);
    });
    ASSERT_EQ(CAN_OK, start(adapter.port()));
    CanFrame in{};
    // Not before the period has passed.
    jumpClock(SLCAN_STATUS_POLL_MS * 1000 - 1);
    EXPECT_EQ(RX_QUEUE_EMPTY, readSomething(&in));
    EXPECT_EQ(0, asked.load());
    jumpClock(1);
    std::vector<int> statusBits;
    for (int poll = 0; poll < 6; ++poll) {
        if (poll > 0) {
            jumpClock(SLCAN_STATUS_POLL_MS * 1000);
        }
        if (readSomething(&in) == CAN_OK) {
            EXPECT_EQ(FRAME_TYPE_STATUS, in.TYPE);
            statusBits.push_back(in.DATA[3]);
        }
    }
    // Repeated flags and no flags make no status record; a BEL ends the polls.
    EXPECT_EQ((std::vector<int>{0x04, 0x80}), statusBits);
    EXPECT_EQ(5, asked.load());
}

TEST_F(SlcanBackendTest, APortThatGoesAwayIsTheLinkDown) {
    PortAdapter adapter([](const std::string& command) { return usualAnswer(command); });
    ASSERT_EQ(CAN_OK, start(adapter.port()));
    adapter.unplug();
    CanFrame in{};
    EXPECT_EQ(SLCAN_ERR_PORT_GONE, readSomething(&in));
    ASSERT_NE(nullptr, canLinkDown());
    EXPECT_NE(std::string::npos, std::string(canLinkDown()).find(adapter.port()));
    EXPECT_EQ(CAN_ERR_LINK_LOST, CAN_Write(&in));
}

TEST_F(SlcanBackendTest, APortThisRunHasIsBusyForOthers) {
    PortAdapter adapter([](const std::string& command) { return usualAnswer(command); });
    ASSERT_EQ(CAN_OK, start(adapter.port()));
    // Root may open a port opened exclusively; another user may not.
    constexpr uid_t NOBODY = 65534;
    chmod(adapter.port().c_str(), 0666);
    const ChildRun run = runInChild(
        [&] {
            if (getuid() == 0 && setuid(NOBODY) != 0) {
                std::exit(1);
            }
            std::string why;
            const int result = slcanPortOpen(adapter.port(), SLCAN_DEFAULT_BAUD, &why);
            std::printf("%d %s\n", result, why.c_str());
            std::exit(0);
        },
        "");
    EXPECT_EQ(
        std::to_string(SLCAN_PORT_BUSY) + " " + adapter.port() + ": in use by another program\n",
        run.out);
}

TEST_F(SlcanBackendTest, OnePortOneBusWhateverItsName) {
    PortAdapter adapter([](const std::string& command) { return usualAnswer(command); });
    const std::string link = testing::TempDir() + "slcan-port-link";
    unlink(link.c_str());
    ASSERT_EQ(0, symlink(adapter.port().c_str(), link.c_str()));
    BusName byName;
    BusName byLink;
    slcanNameBus(adapter.port().c_str(), &byName);
    slcanNameBus((link + "@9600").c_str(), &byLink);
    EXPECT_EQ(adapter.port(), byName.shown);
    EXPECT_EQ(link, byLink.shown);
    EXPECT_EQ(0u, byName.lockName.rfind("slcan-dev-", 0)) << byName.lockName;
    EXPECT_EQ(byName.lockName, byLink.lockName);
    BusName other;
    slcanNameBus("/dev/null", &other);
    EXPECT_FALSE(other.lockName.empty());
    EXPECT_NE(byName.lockName, other.lockName);
    BusName missing;
    slcanNameBus("/dev/no-such-slcan-port", &missing);
    EXPECT_TRUE(missing.lockName.empty());
    unlink(link.c_str());
}

}  // namespace
#endif
