// The socketcan backend against a real kernel CAN stack. Runs inside the test guest
// (tools/test-socketcan-guest.sh), which provides:
//   vcan0  virtual CAN, up: the bus, with raw sockets of this program as other nodes
//   vcan1  virtual CAN, down
//   vcan2  virtual CAN, up, taken down by one test
//   can0   emulated SJA1000 controller at 500 kbit/s, up
//   can1   emulated SJA1000 controller at 1 Mbit/s, up, on the same emulated bus
// The tests of the data path run a second time on the emulated controllers, once can0
// is at 1 Mbit/s too: DOVEL_GUEST_LINK=can1 DOVEL_GUEST_PEER=can0 puts the link on can1
// and the test's other nodes on can0.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/can_trace.h"
#include "can/clock.h"
#include "can/link.h"
#include "can/socketcan_backend.h"
#include "can/socketcan_frames.h"

namespace {

constexpr int DELIVERY_WAIT_MS = 2000;
constexpr canid_t SENTINEL_ID = 0x1F4;
constexpr int64_t US_PER_MS = 1000;

int openRawSocket(const char* iface, can_err_mask_t errors) {
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        return -1;
    }
    setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(if_nametoindex(iface));
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// 1 with the frame, 0 when none arrives within the wait.
int receiveWithin(int fd, can_frame* frame, int waitMs) {
    pollfd readable{fd, POLLIN, 0};
    if (poll(&readable, 1, waitMs) <= 0) {
        return 0;
    }
    return recv(fd, frame, sizeof *frame, 0) == static_cast<ssize_t>(sizeof *frame) ? 1 : 0;
}

can_frame kernelFrame(canid_t id, std::initializer_list<uint8_t> data) {
    can_frame frame{};
    frame.can_id = id;
    frame.can_dlc = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.data);
    return frame;
}

// The interface the link is opened on, and the one the test's other nodes send from
// (the same one by default, vcan0).
const char* linkInterface() {
    const char* iface = std::getenv("DOVEL_GUEST_LINK");
    return iface ? iface : "vcan0";
}

const char* peerInterface() {
    const char* iface = std::getenv("DOVEL_GUEST_PEER");
    return iface ? iface : linkInterface();
}

// The other nodes on the bus: a sender on the peer interface, and a watcher on the
// link's interface that sees every frame there, error frames and the link's own frames
// included, so that a test knows when a frame has been delivered to every socket on
// the link's interface, the backend's among them.
class Bus {
  public:
    Bus()
        : sender_(openRawSocket(peerInterface(), 0)),
          watcher_(openRawSocket(linkInterface(), CAN_ERR_MASK)) {}
    ~Bus() {
        close(sender_);
        close(watcher_);
    }
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool ready() const { return sender_ >= 0 && watcher_ >= 0; }

    // Sends and waits until the frame has passed the watcher.
    ::testing::AssertionResult put(const can_frame& frame) {
        if (send(sender_, &frame, sizeof frame, 0) != static_cast<ssize_t>(sizeof frame)) {
            return ::testing::AssertionFailure() << "send: " << std::strerror(errno);
        }
        can_frame seen{};
        while (receiveWithin(watcher_, &seen, DELIVERY_WAIT_MS) == 1) {
            if (seen.can_id == frame.can_id && seen.can_dlc == frame.can_dlc &&
                std::memcmp(seen.data, frame.data, frame.can_dlc) == 0) {
                return ::testing::AssertionSuccess();
            }
        }
        return ::testing::AssertionFailure()
               << "frame 0x" << std::hex << frame.can_id << " never seen on the bus";
    }

    // The next frame another node (the backend) sent, or 0 when none comes.
    int take(can_frame* frame) { return receiveWithin(watcher_, frame, DELIVERY_WAIT_MS); }

  private:
    int sender_;
    int watcher_;
};

int openDescriptorCount() {
    DIR* dir = opendir("/proc/self/fd");
    int count = 0;
    while (dir && readdir(dir)) {
        ++count;
    }
    if (dir) {
        closedir(dir);
    }
    return count;
}

void setInterfaceUp(const char* iface, bool up) {
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    ifreq request{};
    std::strncpy(request.ifr_name, iface, IFNAMSIZ - 1);
    ioctl(fd, SIOCGIFFLAGS, &request);
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
    }
    ioctl(fd, SIOCSIFFLAGS, &request);
    close(fd);
}

// Opens the link on an interface the way canStart does, each step checked.
class SocketcanGuestTest : public testing::Test {
  protected:
    void SetUp() override { openLinkOn(linkInterface()); }
    void TearDown() override { canUseBackend(nullptr); }

    void openLinkOn(const char* iface) {
        const CanBackend* backend = socketcanOpenBackend(iface);
        ASSERT_NE(nullptr, backend);
        canUseBackend(backend);
        ASSERT_EQ(CAN_OK, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
        ASSERT_EQ(CAN_OK, CAN_ResetClient());
        ASSERT_EQ(CAN_OK, CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID,
                                        CAN_INIT_TYPE_STANDARD));
    }
};

TEST_F(SocketcanGuestTest, EmptyQueueReadsAsEmpty) {
    CanFrame frame{};
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
}

TEST_F(SocketcanGuestTest, StandardFrameArrivesAsTypeZeroRecord) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(bus.put(kernelFrame(0x00B, {0x81, 0x03, 0x0C, 0x00})));
    CanFrame frame;
    std::memset(&frame, 0xEE, sizeof frame);
    ASSERT_EQ(CAN_OK, CAN_Read(&frame));
    EXPECT_EQ(0x00Bu, frame.ID);
    EXPECT_EQ(FRAME_TYPE_STANDARD, frame.TYPE);
    EXPECT_EQ(4, frame.LEN);
    const uint8_t expected[CAN_MAX_DATA] = {0x81, 0x03, 0x0C, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(expected, frame.DATA, sizeof expected));
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
}

TEST_F(SocketcanGuestTest, FilterPassesOnlyStandardDataFramesFrom0To1023) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    const can_frame sent[] = {
        kernelFrame(0, {1}),
        kernelFrame(1023, {2}),
        kernelFrame(1024, {3}),
        kernelFrame(0x7FF, {4}),
        kernelFrame(CAN_EFF_FLAG | 11, {5}),
        kernelFrame(CAN_EFF_FLAG | 0x1000000B, {6}),
        kernelFrame(CAN_RTR_FLAG | 11, {}),
        kernelFrame(SENTINEL_ID, {7}),
    };
    for (const can_frame& frame : sent) {
        ASSERT_TRUE(bus.put(frame));
    }
    const uint32_t expectedIds[] = {0, 1023, SENTINEL_ID};
    const uint8_t expectedFirstBytes[] = {1, 2, 7};
    for (size_t i = 0; i < std::size(expectedIds); ++i) {
        CanFrame frame{};
        ASSERT_EQ(CAN_OK, CAN_Read(&frame)) << "frame " << i;
        EXPECT_EQ(expectedIds[i], frame.ID);
        EXPECT_EQ(FRAME_TYPE_STANDARD, frame.TYPE);
        EXPECT_EQ(expectedFirstBytes[i], frame.DATA[0]);
    }
    CanFrame frame{};
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
}

TEST_F(SocketcanGuestTest, WriteSendsTheRecordAsStandardDataFrame) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    CanFrame record{};
    record.ID = 12;
    record.TYPE = FRAME_TYPE_STANDARD;
    record.LEN = 4;
    const uint8_t payload[CAN_MAX_DATA] = {0x01, 0x15, 0x00, 0x05, 0x99, 0x99, 0x99, 0x99};
    std::memcpy(record.DATA, payload, sizeof payload);
    ASSERT_EQ(CAN_OK, CAN_Write(&record));
    can_frame seen{};
    ASSERT_EQ(1, bus.take(&seen));
    EXPECT_EQ(12u, seen.can_id);
    EXPECT_EQ(4, seen.can_dlc);
    EXPECT_EQ(0, std::memcmp(payload, seen.data, 4));
}

TEST_F(SocketcanGuestTest, FramesLeaveInTheOrderWritten) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    constexpr int FRAME_COUNT = 200;
    for (int i = 0; i < FRAME_COUNT; ++i) {
        CanFrame record{};
        record.ID = 11 + (i % 4);
        record.LEN = 1;
        record.DATA[0] = static_cast<uint8_t>(i);
        ASSERT_EQ(CAN_OK, CAN_Write(&record)) << "frame " << i;
    }
    for (int i = 0; i < FRAME_COUNT; ++i) {
        can_frame seen{};
        ASSERT_EQ(1, bus.take(&seen)) << "frame " << i;
        EXPECT_EQ(static_cast<canid_t>(11 + (i % 4)), seen.can_id);
        EXPECT_EQ(static_cast<uint8_t>(i), seen.data[0]);
    }
}

TEST_F(SocketcanGuestTest, UnsendableRecordIsRefusedAndNothingLeaves) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    CanFrame record{};
    record.ID = 0x800;
    record.LEN = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_BAD_FRAME, CAN_Write(&record));
    EXPECT_EQ(
        "socketcan: cannot send a record with ID 0x800, TYPE 0x00 and LEN 1 as a standard "
        "frame\n",
        testing::internal::GetCapturedStderr());
    record.ID = SENTINEL_ID;
    ASSERT_EQ(CAN_OK, CAN_Write(&record));
    can_frame seen{};
    ASSERT_EQ(1, bus.take(&seen));
    EXPECT_EQ(SENTINEL_ID, seen.can_id);
}

TEST_F(SocketcanGuestTest, ResetClientEmptiesTheReceiveQueue) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    for (uint8_t i = 0; i < 10; ++i) {
        ASSERT_TRUE(bus.put(kernelFrame(11, {i})));
    }
    EXPECT_EQ(CAN_OK, CAN_ResetClient());
    CanFrame frame{};
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
    ASSERT_TRUE(bus.put(kernelFrame(13, {0x42})));
    ASSERT_EQ(CAN_OK, CAN_Read(&frame));
    EXPECT_EQ(13u, frame.ID);
    EXPECT_EQ(0x42, frame.DATA[0]);
}

struct ErrorFrameCase {
    const char* name;
    canid_t classes;
    uint8_t controllerDetail;
    uint8_t expectedStatus;
};

class SocketcanGuestErrorTest : public SocketcanGuestTest,
                                public testing::WithParamInterface<ErrorFrameCase> {};

TEST_P(SocketcanGuestErrorTest, ErrorFrameBecomesStatusRecord) {
    const ErrorFrameCase& c = GetParam();
    Bus bus;
    ASSERT_TRUE(bus.ready());
    can_frame error =
        kernelFrame(CAN_ERR_FLAG | c.classes, {0, c.controllerDetail, 0, 0, 0, 0, 0, 0x5A});
    ASSERT_TRUE(bus.put(error));
    const std::string tracePath = std::string("trace-") + c.name + ".log";
    ASSERT_EQ(0, canTraceOpen(tracePath.c_str(), nullptr, false));
    CanFrame frame;
    std::memset(&frame, 0xEE, sizeof frame);
    ASSERT_EQ(CAN_OK, CAN_Read(&frame));
    canTraceClose();
    EXPECT_EQ(FRAME_TYPE_STATUS, frame.TYPE);
    EXPECT_EQ(c.classes, frame.ID);
    EXPECT_EQ(c.expectedStatus, frame.DATA[3]);
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
    // The trace keeps the error frame as it came.
    std::ifstream trace(tracePath);
    std::string line;
    std::getline(trace, line);
    char expected[CANDUMP_LINE_SIZE];
    std::snprintf(expected, sizeof expected, " %s %08X#00%02X00000000005A", linkInterface(),
                  static_cast<unsigned>(CAN_ERR_FLAG | c.classes), c.controllerDetail);
    EXPECT_TRUE(line.ends_with(expected)) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SocketcanGuestErrorTest,
    testing::Values(
        ErrorFrameCase{"BusOff", CAN_ERR_BUSOFF, 0, SOCKETCAN_STATUS_BUS_OFF},
        ErrorFrameCase{"ErrorPassive", CAN_ERR_CRTL, CAN_ERR_CRTL_TX_PASSIVE,
                       SOCKETCAN_STATUS_ERROR_PASSIVE},
        ErrorFrameCase{"ErrorWarning", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_WARNING,
                       SOCKETCAN_STATUS_ERROR_WARNING},
        ErrorFrameCase{"RxOverflow", CAN_ERR_CRTL, CAN_ERR_CRTL_RX_OVERFLOW,
                       SOCKETCAN_STATUS_RX_OVERFLOW},
        ErrorFrameCase{"LostArbitration", CAN_ERR_LOSTARB, 0, SOCKETCAN_STATUS_LOST_ARBITRATION},
        ErrorFrameCase{"Restarted", CAN_ERR_RESTARTED, 0, SOCKETCAN_STATUS_BACK_TO_ACTIVE}),
    [](const testing::TestParamInfo<ErrorFrameCase>& info) {
        return std::string(info.param.name);
    });

TEST_F(SocketcanGuestTest, ErrorClassesNotAskedForNeverArrive) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(bus.put(kernelFrame(CAN_ERR_FLAG | CAN_ERR_ACK, {0, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(bus.put(kernelFrame(CAN_ERR_FLAG | CAN_ERR_PROT, {0, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(bus.put(kernelFrame(SENTINEL_ID, {1})));
    CanFrame frame{};
    ASSERT_EQ(CAN_OK, CAN_Read(&frame));
    EXPECT_EQ(FRAME_TYPE_STANDARD, frame.TYPE);
    EXPECT_EQ(SENTINEL_ID, frame.ID);
}

// The reply reception on top of the backend reports a bus-off as the status line.
TEST_F(SocketcanGuestTest, ReadReplyPrintsTheStatusLineForBusOff) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(bus.put(kernelFrame(CAN_ERR_FLAG | CAN_ERR_BUSOFF, {0, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(bus.put(kernelFrame(11, {0x80, 0x01})));
    CanFrame frame{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, readReply(&frame));
    EXPECT_EQ(0, readReply(&frame));
    std::fflush(stdout);
    EXPECT_EQ("Got status message, DATA[3] = 0x0001\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(11u, frame.ID);
}

TEST_F(SocketcanGuestTest, ReopeningDoesNotLeakDescriptors) {
    const int before = openDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(CAN_OK, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
        ASSERT_EQ(CAN_OK, CAN_ResetClient());
        ASSERT_EQ(CAN_OK, CAN_MsgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID,
                                        CAN_INIT_TYPE_STANDARD));
    }
    EXPECT_EQ(before, openDescriptorCount());
    // The link opened last works.
    Bus bus;
    ASSERT_TRUE(bus.ready());
    ASSERT_TRUE(bus.put(kernelFrame(14, {9})));
    CanFrame frame{};
    ASSERT_EQ(CAN_OK, CAN_Read(&frame));
    EXPECT_EQ(14u, frame.ID);
}

TEST_F(SocketcanGuestTest, FailedReopenClosesTheEarlierSocket) {
    const int before = openDescriptorCount();
    ASSERT_NE(nullptr, socketcanOpenBackend("vcan1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_INTERFACE_DOWN, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(before - 1, openDescriptorCount());
    CanFrame frame{};
    EXPECT_EQ(SOCKETCAN_ERR_NOT_OPEN, CAN_Read(&frame));
}

TEST_F(SocketcanGuestTest, DownInterfaceFailsInitWithTheReason) {
    ASSERT_NE(nullptr, socketcanOpenBackend("vcan1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_INTERFACE_DOWN, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ("socketcan: interface vcan1: Network is down (bring it up: ip link set vcan1 up)\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(SocketcanGuestTest, MissingInterfaceFailsInitWithTheReason) {
    ASSERT_NE(nullptr, socketcanOpenBackend("vcan9"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_NO_INTERFACE, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ("socketcan: interface vcan9: No such device\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(SocketcanGuestTest, InterfaceGoingDownIsAReadError) {
    openLinkOn("vcan2");
    setInterfaceUp("vcan2", false);
    CanFrame frame{};
    testing::internal::CaptureStderr();
    const int32_t result = CAN_Read(&frame);
    const std::string diagnostics = testing::internal::GetCapturedStderr();
    setInterfaceUp("vcan2", true);
    EXPECT_EQ(SOCKETCAN_ERR_READ, result);
    EXPECT_EQ("socketcan: interface vcan2: reading: Network is down\n", diagnostics);
}

TEST_F(SocketcanGuestTest, ControllerAtAnotherBitrateFailsInit) {
    ASSERT_NE(nullptr, socketcanOpenBackend("can0"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_BITRATE, CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ(
        "socketcan: interface can0 runs at 500000 bit/s, the hand's bus at 1000000 (set it: ip "
        "link set can0 down && ip link set can0 up type can bitrate 1000000)\n",
        testing::internal::GetCapturedStderr());
}

TEST_F(SocketcanGuestTest, ControllerAt1MbitOpens) {
    openLinkOn("can1");
    CanFrame frame{};
    EXPECT_EQ(RX_QUEUE_EMPTY, CAN_Read(&frame));
}

TEST_F(SocketcanGuestTest, WaitEndsAtTheDeadlineWhenNothingArrives) {
    const int64_t start = realClockNowUs();
    CAN_WaitForFrame(clockNowUs() + 100 * US_PER_MS);
    const int64_t waitedMs = (realClockNowUs() - start) / US_PER_MS;
    EXPECT_GE(waitedMs, 99);
    EXPECT_LT(waitedMs, 1000);
}

TEST_F(SocketcanGuestTest, WaitReturnsAtOnceForAPassedDeadline) {
    const int64_t start = realClockNowUs();
    CAN_WaitForFrame(clockNowUs() - US_PER_MS);
    EXPECT_LT(realClockNowUs() - start, 20 * US_PER_MS);
}

TEST_F(SocketcanGuestTest, WaitEndsWhenAFrameArrives) {
    Bus bus;
    ASSERT_TRUE(bus.ready());
    const int64_t start = realClockNowUs();
    std::thread node([&bus] {
        realSleepUs(50 * US_PER_MS);
        EXPECT_TRUE(bus.put(kernelFrame(11, {1})));
    });
    CAN_WaitForFrame(clockNowUs() + 5000 * US_PER_MS);
    const int64_t waitedMs = (realClockNowUs() - start) / US_PER_MS;
    node.join();
    EXPECT_GE(waitedMs, 40);
    EXPECT_LT(waitedMs, 2000);
    CanFrame frame{};
    EXPECT_EQ(CAN_OK, CAN_Read(&frame));
}

}  // namespace
