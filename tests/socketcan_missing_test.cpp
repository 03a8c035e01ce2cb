// The socketcan backend on a machine where the named interface does not exist (any
// machine for the name used here): every path that needs no CAN support in the kernel.
#if defined(__linux__)
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/socketcan_backend.h"
#include "tests/support/child_run.h"

namespace {

constexpr const char* MISSING_INTERFACE = "dvlnone0";

class SocketcanMissingTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(0u, if_nametoindex(MISSING_INTERFACE)) << "an interface of that name exists";
        backend = socketcanOpenBackend(MISSING_INTERFACE);
        ASSERT_NE(nullptr, backend);
    }

    const CanBackend* backend = nullptr;
};

TEST_F(SocketcanMissingTest, InitFailsNamingTheInterfaceAndReason) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_NO_INTERFACE, backend->init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ("socketcan: interface dvlnone0: No such device\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(SocketcanMissingTest, OtherSettingsAreRefusedBeforeTheInterfaceIsLookedAt) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_UNSUPPORTED, backend->init(0x001C, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ(SOCKETCAN_ERR_UNSUPPORTED, backend->init(CAN_BITRATE_1M, 1));
    EXPECT_EQ(
        "socketcan: only bit timing 0x0014 (1 Mbit/s) with standard frames is supported, not "
        "0x001c with frame type 0\n"
        "socketcan: only bit timing 0x0014 (1 Mbit/s) with standard frames is supported, not "
        "0x0014 with frame type 1\n",
        testing::internal::GetCapturedStderr());
}

TEST_F(SocketcanMissingTest, OperationsWithoutOpenLinkFail) {
    testing::internal::CaptureStderr();
    backend->init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD);
    testing::internal::GetCapturedStderr();
    CanFrame frame{};
    frame.ID = 11;
    frame.LEN = 1;
    EXPECT_EQ(SOCKETCAN_ERR_NOT_OPEN, backend->read(&frame));
    EXPECT_EQ(SOCKETCAN_ERR_NOT_OPEN, backend->write(&frame));
    EXPECT_EQ(SOCKETCAN_ERR_NOT_OPEN, backend->resetClient());
    EXPECT_EQ(SOCKETCAN_ERR_NOT_OPEN,
              backend->msgFilter(CAN_FILTER_LOWEST_ID, CAN_FILTER_HIGHEST_ID, 0));
}

TEST(SocketcanOpenTest, NonInterfaceOptionIsRefused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, socketcanOpenBackend("can0/x"));
    EXPECT_EQ("socketcan: 'can0/x' is not an interface name\n",
              testing::internal::GetCapturedStderr());
}

// An alternative name may be longer than the kernel's index look-up by name takes.
TEST(SocketcanOpenTest, NameTooLongForTheLookUpIsRefusedSayingSo) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(nullptr, socketcanOpenBackend("hand-bus-of-the-left-arm"));
    EXPECT_EQ(
        "socketcan: 'hand-bus-of-the-left-arm' is longer than 15 characters: give the "
        "interface's own name (ip link show), not a long alternative name\n",
        testing::internal::GetCapturedStderr());
    BusName bus;
    socketcanNameBus("hand-bus-of-the-left-arm", &bus);
    EXPECT_EQ(bus.lockName, "");
}

// Every name of an interface stands for its index, and the lock is the index's.
TEST(SocketcanOpenTest, TheBusIsLockedByTheInterfacesIndex) {
    BusName bus;
    socketcanNameBus("lo", &bus);
    EXPECT_EQ(bus.shown, "lo");
    EXPECT_EQ(bus.lockName, "socketcan-ifindex-" + std::to_string(if_nametoindex("lo")));
    BusName missing;
    socketcanNameBus("dvlnone0", &missing);
    EXPECT_EQ(missing.shown, "dvlnone0");
    EXPECT_EQ(missing.lockName, "") << "no interface, nothing to lock";
}

TEST(SocketcanOpenTest, DefaultInterfaceIsCan0) {
    if (if_nametoindex("can0") != 0) {
        GTEST_SKIP() << "this machine has a can0";
    }
    const CanBackend* backend = canOpenBackend("socketcan");
    ASSERT_NE(nullptr, backend);
    EXPECT_STREQ("socketcan", backend->name);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_NO_INTERFACE, backend->init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ("socketcan: interface can0: No such device\n",
              testing::internal::GetCapturedStderr());
}

TEST(SocketcanOpenTest, LoopbackIsNoCanInterface) {
    const CanBackend* backend = socketcanOpenBackend("lo");
    ASSERT_NE(nullptr, backend);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SOCKETCAN_ERR_NOT_CAN, backend->init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD));
    EXPECT_EQ("socketcan: interface lo is not a CAN interface\n",
              testing::internal::GetCapturedStderr());
}

// The utility itself, as an operator starts it: the link does not start, the retry
// prompt meets the end of input, and the exit prompt ends the run with status 0.
TEST(SocketcanMissingProgramTest, ReportsInitFailureAndOffersRetry) {
    const ChildRun run = runInChild(
        [] {
            setenv("DOVEL_CAN", "socketcan:dvlnone0", 1);
            const std::string program = std::string(DOVEL_BINARY_DIR) + "/dovelflash";
            execl(program.c_str(), "dovelflash", "x.tek", static_cast<char*>(nullptr));
            _exit(127);
        },
        "");
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(
        "\nZendra firmware download utility\n"
        "Version 1.0\n"
        "Argument count = 2\n"
        "  arg[0] = dovelflash\n"
        "  arg[1] = x.tek\n"
        "\nInitializing USB/CAN device...\n"
        "ERROR - CAN_Init(): 196610\n"
        "[FAILED] Please check that your USB/CAN device is plugged in.\n"
        "\nDo you want to try again (y/n)? "
        "\nPress any key to exit..."
        "\nDone.\n\n",
        run.out);
    EXPECT_EQ("socketcan: interface dvlnone0: No such device\n", run.err);
}

// An interface of its own: the two program tests may run at the same time, and a second
// run on an interface in use would be refused.
TEST(SocketcanMissingProgramTest, RetryOpensTheInterfaceAgain) {
    const ChildRun run = runInChild(
        [] {
            setenv("DOVEL_CAN", "socketcan:dvlnone1", 1);
            const std::string program = std::string(DOVEL_BINARY_DIR) + "/dovelflash";
            execl(program.c_str(), "dovelflash", "x.tek", static_cast<char*>(nullptr));
            _exit(127);
        },
        "yn");
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(0, run.exitStatus);
    const std::string attempt =
        "\nInitializing USB/CAN device...\n"
        "ERROR - CAN_Init(): 196610\n"
        "[FAILED] Please check that your USB/CAN device is plugged in.\n"
        "\nDo you want to try again (y/n)? ";
    const size_t first = run.out.find(attempt);
    ASSERT_NE(std::string::npos, first) << run.out;
    EXPECT_EQ(first + attempt.size(), run.out.find(attempt, first + 1));
    EXPECT_EQ(std::string::npos, run.out.find(attempt, first + 2 * attempt.size()));
    EXPECT_EQ(
        "socketcan: interface dvlnone1: No such device\n"
        "socketcan: interface dvlnone1: No such device\n",
        run.err);
}

}  // namespace
#endif
