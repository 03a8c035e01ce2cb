// The simulated bus and adapter: frame timing, arbitration, the receive queue and its
// filter, the virtual clock, the trace, the report, and a fresh hand per opening.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/can_backend.h"
#include "can/clock.h"
#include "firmware/tek_format.h"
#include "sim/bus_timing.h"
#include "sim/dovel.h"
#include "sim/sim_backend.h"
#include "tests/support/environment.h"
#include "tests/support/sim_session.h"
#include "tests/support/temp_file.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int UNLOCK_MAIN = 13;
constexpr int ROLE = 1;
constexpr int ID = 3;
constexpr int STATUS = 5;
constexpr int STORE = 9;
constexpr int VERS = 0;
constexpr int64_t TRACE_EPOCH_US = 1765234567000000;

class SimBusTest : public SimSessionTest {
  protected:
    // The link's start-up puts nothing on the bus, so a trace begun after it misses no
    // frame; its stamps start from a known wall clock.
    void openTraced(const std::string& path, const std::string& options = "") {
        openHand(options);
        ASSERT_EQ(simHandTraceTo(simCurrentHand(), path.c_str(),
                                 SimTraceSettings{false, TRACE_EPOCH_US, false}),
                  0);
    }
};

// The hand's report as text.
std::string reportText() {
    TempFile file("");
    std::FILE* out = std::fopen(file.path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    if (!out) {
        return "";
    }
    simHandReport(simCurrentHand(), out);
    std::fclose(out);
    std::ifstream in(file.path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct BitsCase {
    uint32_t id;
    std::vector<uint8_t> data;
    int bits;
};

// Bit counts worked out by hand from the frame layout, CRC and stuffing rule.
const BitsCase BITS_CASES[] = {
    {0x00B, {0x03}, 58},
    {0x00B, {0x01}, 59},
    {0x20B, {0x83, 0x00, 0x0B}, 76},
    {0x20B, {0x81, 0x00, 0x25, 0x12}, 84},
    {0x000, {}, 53},
    {0x7FF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 126},
    {0x000, {0, 0, 0, 0, 0, 0, 0, 0}, 127},
    {0x555, {0xAA, 0x55}, 64},
    {0x1F0, {0x83, 0x00, 0x07}, 77},
    {0x00B, {0x85, 0x00, 0x00, 0x00}, 86},
};

TEST(SimBusTiming, FrameBitsIncludeStuffBitsOfTheActualPattern) {
    for (const BitsCase& c : BITS_CASES) {
        EXPECT_EQ(simFrameBits(c.id, c.data.data(), static_cast<int>(c.data.size())), c.bits)
            << std::hex << c.id;
        EXPECT_EQ(simFrameTimeUs(c.id, c.data.data(), static_cast<int>(c.data.size())), c.bits);
    }
}

TEST_F(SimBusTest, FramesQueueAndTheLowestIdentifierWinsTheBus) {
    TempFile trace("");
    openTraced(trace.path);
    simWrite(simGet(11, ID));
    simWrite(simGet(12, ID));
    simWrite(simGet(13, ID));
    // 11's answer is ready at 78 us, but the host's third frame wins the bus at 116 us.
    EXPECT_EQ(simReadAfter(1), (Frames{"20B#83000B", "20C#83000C", "20D#83000D"}));
    simSessionEnd();
    EXPECT_EQ(fileText(trace.path),
              "(1765234567.000058) sim 00B#03\n"
              "(1765234567.000116) sim 00C#03\n"
              "(1765234567.000174) sim 00D#03\n"
              "(1765234567.000250) sim 20B#83000B\n"
              "(1765234567.000326) sim 20C#83000C\n"
              "(1765234567.000403) sim 20D#83000D\n");
}

TEST_F(SimBusTest, TraceShowsFilteredFramesAndStatusMessagesAsErrorFrames) {
    TempFile trace("");
    openTraced(trace.path, "packed=1,status=12");
    EXPECT_EQ(simExchange(simGet(11, ROLE)), Frames{});
    EXPECT_EQ(simExchange(simGet(12, ID)), Frames{"status:000#00000008"});
    simSessionEnd();
    const std::string text = fileText(trace.path);
    EXPECT_NE(text.find(" sim 563#801225\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" sim 20000080#0000000800000000\n"), std::string::npos) << text;
}

TEST_F(SimBusTest, EveryTraceLineIsACandumpLineAndTheCodeIsMasked) {
    TempFile trace("");
    openTraced(trace.path, "foreign=11,read-error=11:3");
    simSendAccessCode(11, UNLOCK_MAIN);
    simWrite(simSet(11, ROLE, 0x1220));
    simWrite(simSet(11, STORE, 1));
    simReadAfter(100);
    simWrite(simSet(11, STATUS, 0));
    simReadAfter(600);
    simExchange(simSet(11, VERS, 0xAA), 3);
    for (char c : std::string("0A81741000")) {
        simWrite(simCharacter(11, c));
        CanFrame frame{};
        sleepMs(1);
        while (CAN_Read(&frame) != RX_QUEUE_EMPTY) {
        }
    }
    simSessionEnd();
    const std::regex frameLine(R"(\(17652345\d\d\.\d{6}\) sim [0-9A-F]{3}#([0-9A-F]{2}){0,8})");
    std::istringstream lines(fileText(trace.path));
    std::string line;
    int frames = 0;
    int masked = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, frameLine)) << line;
        ++frames;
        masked += line.ends_with(" 00B#8D00FFFF") ? 1 : 0;
    }
    EXPECT_GT(frames, 30);
    EXPECT_EQ(masked, 5);
}

TEST_F(SimBusTest, EmptyReadAdvancesTheVirtualClockBySmallStep) {
    openHand();
    const int64_t before = simNowUs();
    CanFrame frame{};
    EXPECT_EQ(CAN_Read(&frame), RX_QUEUE_EMPTY);
    EXPECT_EQ(simNowUs() - before, SIM_EMPTY_READ_STEP_US);
    // Also with an answer on its way: the read does not jump to it.
    simWrite(simGet(11, ID));
    const int64_t sent = simNowUs();
    EXPECT_EQ(CAN_Read(&frame), RX_QUEUE_EMPTY);
    EXPECT_EQ(simNowUs() - sent, SIM_EMPTY_READ_STEP_US);
}

TEST_F(SimBusTest, WaitForFrameJumpsToTheArrivalOrTheDeadline) {
    openHand();
    const int64_t start = simNowUs();
    CAN_WaitForFrame(start + 5000);
    EXPECT_EQ(simNowUs(), start + 5000);  // nothing coming

    simWrite(simGet(12, ID));
    const int64_t sent = simNowUs();
    CAN_WaitForFrame(sent + 100);  // the answer needs 154 us
    EXPECT_EQ(simNowUs(), sent + 100);
    CAN_WaitForFrame(sent + 1000);
    EXPECT_EQ(simNowUs(), sent + 58 + 20 + 76);
    EXPECT_EQ(simReadAfter(0), Frames{"20C#83000C"});
}

// A USB adapter's delay: the request reaches the bus 500 us after the write, the answer
// the host's queue 500 us after it ended on the bus; an adapter reset drops what is on
// its way, and frames in flight keep their order.
TEST_F(SimBusTest, LatencyDelaysEveryFrameBothWays) {
    openHand("latency=500");
    simWrite(simGet(12, ID));
    const int64_t sent = simNowUs();
    CAN_WaitForFrame(sent + 1153);
    EXPECT_EQ(simNowUs(), sent + 1153);  // 1 us short of the answer
    CAN_WaitForFrame(sent + 5000);
    EXPECT_EQ(simNowUs(), sent + 500 + 58 + 20 + 76 + 500);
    EXPECT_EQ(simReadAfter(0), Frames{"20C#83000C"});

    simWrite(simGet(11, ID));
    simWrite(simGet(13, ID));
    simAdvanceTo(simNowUs() + 900);  // both answers on their way, none in the queue yet
    EXPECT_EQ(CAN_ResetClient(), CAN_OK);
    EXPECT_EQ(simReadAfter(5), Frames{});
    simWrite(simGet(14, ID));
    simWrite(simGet(11, ID));
    EXPECT_EQ(simReadAfter(2), (Frames{"20E#83000E", "20B#83000B"}));
}

TEST_F(SimBusTest, SleepRunsTheHand) {
    openHand();
    const int64_t start = clockNowUs();
    simWrite(simGet(14, ID));
    sleepMs(250);
    EXPECT_EQ(clockNowUs() - start, 250000);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), CAN_OK);
    EXPECT_EQ(simFrameText(frame), "20E#83000E");
}

TEST_F(SimBusTest, AdapterResetEmptiesTheQueueButNotTheControllers) {
    openHand();
    simSendAccessCode(11, UNLOCK_MAIN);
    simWrite(simGet(11, ROLE));
    simWrite(simGet(12, ID));
    sleepMs(1);
    ASSERT_EQ(CAN_ResetClient(), CAN_OK);
    EXPECT_EQ(simReadAfter(0), Frames{});
    simWrite(simGet(13, ID));
    sleepMs(1);
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_OK);
    EXPECT_EQ(simReadAfter(0), Frames{});
    // Still unlocked: the ROLE write goes through.
    simWrite(simSet(11, ROLE, 0x1220));
    EXPECT_EQ(simExchange(simGet(11, ROLE)), Frames{"20B#81002012"});
}

TEST_F(SimBusTest, FilterBoundsAreInclusive) {
    openHand();
    ASSERT_EQ(CAN_MsgFilter(0x20C, 0x20D, CAN_INIT_TYPE_STANDARD), CAN_OK);
    for (int node = 11; node <= 14; ++node) {
        simWrite(simGet(node, ID));
    }
    EXPECT_EQ(simReadAfter(1), (Frames{"20C#83000C", "20D#83000D"}));
}

TEST_F(SimBusTest, WritesTheBusCannotCarryAreRefused) {
    openHand();
    CanFrame frame = simGet(11, ID);
    frame.LEN = 9;
    EXPECT_EQ(CAN_Write(&frame), SIM_ILLEGAL_PARAMETER);
    frame = simGet(11, ID);
    frame.TYPE = FRAME_TYPE_STATUS;
    EXPECT_EQ(CAN_Write(&frame), SIM_ILLEGAL_PARAMETER);
    frame = simGet(11, ID);
    frame.ID = 0x800;
    EXPECT_EQ(CAN_Write(&frame), SIM_ILLEGAL_PARAMETER);
    EXPECT_EQ(simReadAfter(1), Frames{});
    EXPECT_EQ(CAN_Init(0x001C, CAN_INIT_TYPE_STANDARD), SIM_ILLEGAL_PARAMETER);
}

TEST_F(SimBusTest, HostQueueIsBoundedAndKeepsTheOldest) {
    openHand();
    const int gets = static_cast<int>(SIM_HOST_QUEUE_CAPACITY) + 10;
    for (int i = 0; i < gets; ++i) {
        simWrite(simGet(11, i % 2 ? ID : STATUS));
        sleepMs(1);
    }
    const Frames frames = simReadAfter(1);
    ASSERT_EQ(frames.size(), SIM_HOST_QUEUE_CAPACITY);
    EXPECT_EQ(frames.front(), "20B#850001");
    EXPECT_EQ(frames.back(), "20B#83000B");
}

TEST_F(SimBusTest, TransmitQueueIsBounded) {
    openHand();
    const CanFrame get = simGet(12, ID);
    int accepted = 0;
    while (accepted <= SIM_HOST_TRANSMIT_CAPACITY && CAN_Write(&get) == CAN_OK) {
        ++accepted;
    }
    // One frame goes onto the bus at once; the adapter holds the rest.
    EXPECT_EQ(accepted, SIM_HOST_TRANSMIT_CAPACITY + 1);
    EXPECT_EQ(CAN_Write(&get), SIM_TRANSMIT_QUEUE_FULL);
    sleepMs(1);
    EXPECT_EQ(CAN_Write(&get), CAN_OK);
}

// A scripted session: prepare, download and restore controller 12.
void scriptedSession() {
    simSendAccessCode(12, UNLOCK_MAIN);
    simWrite(simSet(12, ROLE, 0x0A40));
    simWrite(simSet(12, STORE, 1));
    simReadAfter(100);
    simWrite(simSet(12, STATUS, 0));
    simReadAfter(3000);
    simWrite(simSet(12, VERS, 0xAA));
    std::string image;
    for (int i = 0; i < 8; ++i) {
        const uint8_t data[4] = {static_cast<uint8_t>(i), 0x5A, 0xA5, static_cast<uint8_t>(~i)};
        std::string line;
        tekFormatRecord(TEK_TYPE_DATA, 0x1000 + 4 * static_cast<uint64_t>(i), 4, data, 4, &line);
        image += line.substr(1, line.size() - 2);
    }
    for (char c : image + "0A81741000") {
        CAN_WaitForFrame(simNowUs() + 1000000);
        CanFrame reply{};
        CAN_Read(&reply);
        simWrite(simCharacter(12, c));
    }
    simReadAfter(1000);
    simSendAccessCode(12, 8);
    simWrite(simSet(12, ROLE, 0x0A45));
    simWrite(simSet(12, STORE, 1));
    simReadAfter(100);
    simWrite(simSet(12, STATUS, 0));
}

TEST_F(SimBusTest, FastRunsAreDeterministic) {
    std::string traces[2];
    std::string reports[2];
    for (int run = 0; run < 2; ++run) {
        TempFile trace("");
        openTraced(trace.path);
        scriptedSession();
        simHandSettle(simCurrentHand());
        const SimDovelState state = simDovelState(12);
        EXPECT_EQ(state.mode, SIM_MODE_MAIN);
        EXPECT_EQ(state.storedRole, 0x0A45);
        EXPECT_EQ(state.records, 8);
        EXPECT_EQ(state.flash.size(), 32u);
        reports[run] = reportText();
        simSessionEnd();
        traces[run] = fileText(trace.path);
    }
    EXPECT_GT(traces[0].size(), 1000u);
    EXPECT_EQ(traces[0], traces[1]);
    EXPECT_EQ(reports[0], reports[1]);
}

TEST_F(SimBusTest, ReportHasOneLinePerController) {
    openHand();
    // Nine data bytes "123456789": their CRC-32 is the well-known check value.
    simSendAccessCode(14, UNLOCK_MAIN);
    simWrite(simSet(14, ROLE, 0x3C80));
    simWrite(simSet(14, STORE, 1));
    simReadAfter(100);
    simWrite(simSet(14, STATUS, 0));
    simReadAfter(600);
    simExchange(simSet(14, VERS, 0xAA), 3);
    const uint8_t digits[9] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    std::string line;
    ASSERT_EQ(tekFormatRecord(TEK_TYPE_DATA, 0x100, 3, digits, 9, &line), 0);
    for (char c : line.substr(1, line.size() - 2) + "03") {
        simExchange(simCharacter(14, c), 1);
    }
    const std::string text = reportText();
    EXPECT_EQ(text,
              "sim: dovel 11: main ROLE(stored)=0x1225 flash=0 bytes crc32=0x00000000 records=0 "
              "bad=0 lost=0\n"
              "sim: dovel 12: main ROLE(stored)=0x0A45 flash=0 bytes crc32=0x00000000 records=0 "
              "bad=0 lost=0\n"
              "sim: dovel 13: main ROLE(stored)=0x8465 flash=0 bytes crc32=0x00000000 records=0 "
              "bad=0 lost=0\n"
              "sim: dovel 14: monitor ROLE(stored)=0x3C80 flash=9 bytes crc32=0xCBF43926 "
              "records=1 bad=1 lost=0\n");
}

TEST_F(SimBusTest, EachOpeningGivesAFreshHandAndClosingGivesTheClockBack) {
    openHand();
    simSendAccessCode(11, UNLOCK_MAIN);
    simWrite(simSet(11, ROLE, 0x0001));
    sleepMs(500);
    EXPECT_EQ(simDovelState(11).ramRole, 0x0001);
    EXPECT_GE(simNowUs(), 500000);

    openHand();
    EXPECT_EQ(simDovelState(11).ramRole, 0x1225);
    EXPECT_FALSE(simDovelState(11).unlocked);
    EXPECT_EQ(simNowUs(), 0);

    simSessionEnd();
    EXPECT_EQ(simCurrentHand(), nullptr);
    const int64_t real = realClockNowUs();
    EXPECT_LE(std::abs(clockNowUs() - real), 1000000);
    CanFrame frame{};
    EXPECT_NE(CAN_Read(&frame), CAN_OK);
}

TEST_F(SimBusTest, RealTimeHandKeepsTheMachinesClock) {
    const CanBackend* backend = simOpenBackend("");
    ASSERT_NE(backend, nullptr);
    canUseBackend(backend);
    EXPECT_FALSE(simHandUsesFastClock(simCurrentHand()));
    EXPECT_LE(std::abs(clockNowUs() - realClockNowUs()), 1000000);
    ASSERT_EQ(CAN_Init(CAN_BITRATE_1M, CAN_INIT_TYPE_STANDARD), CAN_OK);
    simWrite(simGet(11, ID));
    // Bounded by the deadline, a real wait of a few hundred microseconds at most.
    CAN_WaitForFrame(clockNowUs() + 200000);
    CanFrame frame{};
    ASSERT_EQ(CAN_Read(&frame), CAN_OK);
    EXPECT_EQ(simFrameText(frame), "20B#83000B");
}

TEST_F(SimBusTest, SettleFinishesAResetInProgress) {
    openHand();
    simWrite(simSet(13, STATUS, 0));
    EXPECT_EQ(simDovelState(13).mode, SIM_MODE_MAIN);  // the request is not on the bus yet
    const int64_t settled = simHandSettle(simCurrentHand());
    EXPECT_EQ(settled, 86 + SIM_RESET_US);
    EXPECT_EQ(simDovelState(13).mode, SIM_MODE_MAIN);
    EXPECT_EQ(simDovelState(13).resets, 1);
    EXPECT_EQ(simHandNextEventUs(simCurrentHand()), SIM_NO_EVENT);
}

}  // namespace
