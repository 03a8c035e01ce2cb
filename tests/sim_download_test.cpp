// The monitor's side of a download: one frame when ready and one per character taken,
// the image records parsed into flash, bad records counted, the receive FIFO.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "can/can_api.h"
#include "can/clock.h"
#include "firmware/tek_format.h"
#include "sim/dovel.h"
#include "tests/support/sim_session.h"

namespace {

using Frames = std::vector<std::string>;

constexpr int UNLOCK_MAIN = 13;
constexpr int UNLOCK_MONITOR = 8;
constexpr int ROLE = 1;
constexpr int STATUS = 5;
constexpr int STORE = 9;
constexpr int VERS = 0;

class SimDownloadTest : public SimSessionTest {
  protected:
    // Opens the hand and puts controller node into its monitor.
    void openMonitor(int node, const std::string& options = "") {
        openHand(options);
        simStoreRoleAndReset(node, UNLOCK_MAIN, 0);
        ASSERT_EQ(simDovelState(node).mode, SIM_MODE_MONITOR);
    }
};

std::string readyReply(int node, int taken) {
    char text[32];
    std::snprintf(text, sizeof text, "%03X#8000%02X%02X", 0x200 | node, taken & 0xFF,
                  (taken >> 8) & 0xFF);
    return text;
}

// The records of a line as the download sends them: without '%' and line end.
std::string record(int type, uint64_t address, std::vector<uint8_t> data) {
    std::string line;
    EXPECT_EQ(tekFormatRecord(type, address, 4, data.data(), static_cast<int>(data.size()), &line),
              0);
    return line.substr(1, line.size() - 2);
}

// Sends each character after the reply to the one before, as the utility paces it;
// returns the replies seen, the one to the start request first.
Frames streamPaced(int node, const std::string& characters) {
    Frames replies = simExchange(simSet(node, VERS, 0xAA), 3);
    for (char c : characters) {
        const Frames got = simExchange(simCharacter(node, c), 1);
        replies.insert(replies.end(), got.begin(), got.end());
    }
    return replies;
}

TEST_F(SimDownloadTest, OneReplyWhenReadyAndOnePerCharacter) {
    openMonitor(11);
    const int64_t start = simNowUs();
    simWrite(simSet(11, VERS, 0xAA));
    CAN_WaitForFrame(start + 1000000);
    // 86 us of request, 2 ms of erasing, 86 us of reply.
    EXPECT_EQ(simNowUs() - start, 86 + SIM_DOWNLOAD_PREPARE_US + 86);
    EXPECT_EQ(simReadAfter(0), Frames{readyReply(11, 0)});

    const std::string text = record(TEK_TYPE_DATA, 0x1000, {0x12, 0x34});
    Frames replies;
    for (char c : text) {
        const Frames got = simExchange(simCharacter(11, c), 1);
        replies.insert(replies.end(), got.begin(), got.end());
    }
    Frames expected;
    for (size_t i = 1; i <= text.size(); ++i) {
        expected.push_back(readyReply(11, static_cast<int>(i)));
    }
    EXPECT_EQ(replies, expected);
    EXPECT_EQ(simDovelState(11).charactersTaken, static_cast<int>(text.size()));
}

TEST_F(SimDownloadTest, StreamLandsInFlashAndTerminationEndsTheDownload) {
    openMonitor(12);
    const std::string image = record(TEK_TYPE_DATA, 0x1000, {0xDE, 0xAD, 0xBE, 0xEF}) +
                              record(TEK_TYPE_DATA, 0x2000, {0x01}) +
                              record(TEK_TYPE_TERMINATION, 0x1000, {});
    const Frames replies = streamPaced(12, image);
    EXPECT_EQ(replies.size(), image.size() + 1);  // the last one included

    SimDovelState state = simDovelState(12);
    EXPECT_EQ(state.flash,
              (std::map<uint32_t, uint8_t>{
                  {0x1000, 0xDE}, {0x1001, 0xAD}, {0x1002, 0xBE}, {0x1003, 0xEF}, {0x2000, 0x01}}));
    EXPECT_EQ(state.records, 2);
    EXPECT_EQ(state.badRecords, 0);
    EXPECT_TRUE(state.downloadComplete);
    EXPECT_FALSE(state.downloading);
    EXPECT_EQ(state.mode, SIM_MODE_MONITOR);

    // A LEN-1 frame is a get request again, answered as the monitor answers it.
    EXPECT_EQ(simExchange(simGet(12, STATUS)), Frames{"20C#850000"});
    EXPECT_EQ(simDovelState(12).charactersTaken, static_cast<int>(image.size()));
}

TEST_F(SimDownloadTest, MainFirmwareVersionFollowsTheDownloadedImage) {
    openMonitor(13);
    EXPECT_EQ(simDovelState(13).image, SIM_IMAGE_FACTORY);
    streamPaced(13, record(TEK_TYPE_DATA, 0x1000, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}) +
                        record(TEK_TYPE_TERMINATION, 0x1000, {}));
    ASSERT_EQ(simDovelState(13).image, SIM_IMAGE_COMPLETE);
    simStoreRoleAndReset(13, UNLOCK_MONITOR, 0x8465);
    // The flash holds "123456789", whose CRC-32 is 0xCBF43926.
    EXPECT_EQ(simExchange(simGet(13, VERS)), Frames{"20D#80002639"});
    EXPECT_EQ(simExchange(simGet(12, VERS)), Frames{"20C#80001402"});  // factory firmware
}

TEST_F(SimDownloadTest, BadRecordsAreCountedAndNotWritten) {
    openMonitor(13);
    std::string broken = record(TEK_TYPE_DATA, 0x3000, {0x55, 0x66});
    broken[4] = broken[4] == '0' ? '1' : '0';  // checksum wrong
    const std::string image = broken + record(TEK_TYPE_DATA, 0x3002, {0x77}) +
                              "03" +  // too short for any record: a bad record of its own
                              record(TEK_TYPE_DATA, 0x3003, {0x88}) +
                              record(TEK_TYPE_TERMINATION, 0x3000, {});
    streamPaced(13, image);
    const SimDovelState state = simDovelState(13);
    EXPECT_EQ(state.badRecords, 2);
    EXPECT_EQ(state.records, 2);
    EXPECT_EQ(state.flash, (std::map<uint32_t, uint8_t>{{0x3002, 0x77}, {0x3003, 0x88}}));
    EXPECT_TRUE(state.downloadComplete);
    // The monitor will not start an image it refused part of.
    EXPECT_EQ(state.image, SIM_IMAGE_REFUSED);
}

// A whole image that placed no byte (every record outside the flash) or had a record
// refused is not started: after a reset with role code 5 the controller is in its monitor.
TEST_F(SimDownloadTest, AWholeImageItRefusedStaysInTheMonitor) {
    std::string outside;
    const uint8_t data[2] = {1, 2};
    ASSERT_EQ(tekFormatRecord(TEK_TYPE_DATA, SIM_FLASH_BYTES, 6, data, 2, &outside), 0);
    outside = outside.substr(1, outside.size() - 2);
    std::string broken = record(TEK_TYPE_DATA, 0x3000, {0x55});
    broken[4] = broken[4] == '0' ? '1' : '0';  // checksum wrong
    const std::string images[] = {outside, record(TEK_TYPE_DATA, 0x3001, {0x66}) + broken};
    for (const std::string& body : images) {
        openMonitor(12);
        streamPaced(12, body + record(TEK_TYPE_TERMINATION, 0x1000, {}));
        ASSERT_EQ(simDovelState(12).image, SIM_IMAGE_REFUSED) << body;
        simStoreRoleAndReset(12, UNLOCK_MONITOR, 0x0A45);
        EXPECT_EQ(simDovelState(12).storedRole, 0x0A45) << body;
        EXPECT_EQ(simDovelState(12).mode, SIM_MODE_MONITOR) << body;
        EXPECT_EQ(simExchange(simGet(12, STATUS)), Frames{"20C#850000"}) << body;
    }
}

TEST_F(SimDownloadTest, RecordBeyondFlashIsBad) {
    openMonitor(11);
    std::string line;
    const uint8_t data[2] = {1, 2};
    ASSERT_EQ(tekFormatRecord(TEK_TYPE_DATA, SIM_FLASH_BYTES - 1, 6, data, 2, &line), 0);
    streamPaced(11, line.substr(1, line.size() - 2));
    EXPECT_EQ(simDovelState(11).badRecords, 1);
    EXPECT_TRUE(simDovelState(11).flash.empty());
}

TEST_F(SimDownloadTest, CharactersBeforeReadyWaitInTheFifoAndTheRestAreLost) {
    const struct {
        const char* options;
        int held;
    } cases[] = {
        {"", SIM_RX_FIFO_CAPACITY}, {"rx-buffer=1", 1}, {"rx-buffer=0", 0}, {"rx-buffer=16", 10}};
    for (const auto& c : cases) {
        openMonitor(14, c.options);
        simWrite(simSet(14, VERS, 0xAA));
        const std::string text = "0123456789";  // all on the bus well within the 2 ms erase
        for (char ch : text) {
            simWrite(simCharacter(14, ch));
        }
        Frames expected;
        for (int taken = 0; taken <= c.held; ++taken) {
            expected.push_back(readyReply(14, taken));
        }
        EXPECT_EQ(simReadAfter(5), expected) << c.options;
        const SimDovelState state = simDovelState(14);
        EXPECT_EQ(state.charactersTaken, c.held) << c.options;
        EXPECT_EQ(state.charactersLost, 10 - c.held) << c.options;
        simSessionEnd();
    }
}

// stray=14:13: 14's monitor answers the first start request to 13 once, ahead of 13;
// char-delay=13:3000: 13 answers each character 3 ms after it came.
TEST_F(SimDownloadTest, StrayReadyFrameAndSlowCharacters) {
    openMonitor(13, "stray=14:13,char-delay=13:3000");
    simStoreRoleAndReset(14, UNLOCK_MAIN, 0);
    EXPECT_EQ(simExchange(simSet(13, VERS, 0xAA), 3),
              (Frames{readyReply(14, 0), readyReply(13, 0)}));
    EXPECT_EQ(simExchange(simSet(13, VERS, 0xAA), 3), Frames{readyReply(13, 0)});
    EXPECT_EQ(simExchange(simCharacter(13, '0'), 2), Frames{});
    EXPECT_EQ(simReadAfter(2), Frames{readyReply(13, 1)});
}

TEST_F(SimDownloadTest, CharacterAheadOfTheReplyIsHeldNotLost) {
    openMonitor(11);
    EXPECT_EQ(simExchange(simSet(11, VERS, 0xAA), 3), Frames{readyReply(11, 0)});
    // Two characters back to back: the second arrives while the first is being taken.
    simWrite(simCharacter(11, '0'));
    simWrite(simCharacter(11, '9'));
    EXPECT_EQ(simReadAfter(1), (Frames{readyReply(11, 1), readyReply(11, 2)}));
    EXPECT_EQ(simDovelState(11).charactersLost, 0);
}

TEST_F(SimDownloadTest, StartRequestIsIgnoredInMainFirmware) {
    openHand();
    EXPECT_EQ(simExchange(simSet(11, VERS, 0xAA), 5), Frames{});
    EXPECT_FALSE(simDovelState(11).downloading);
    // LEN-1 frames stay get requests.
    EXPECT_EQ(simExchange(simCharacter(11, '3')), Frames{"20B#B30000"});
}

TEST_F(SimDownloadTest, SetsDuringDownloadAreHandledAndResetEndsIt) {
    openMonitor(12);
    streamPaced(12, record(TEK_TYPE_DATA, 0x1000, {0xAB}).substr(0, 5));
    EXPECT_TRUE(simDovelState(12).downloading);
    // A set of an unknown property is no character: no reply.
    EXPECT_EQ(simExchange(simSet(12, 0x42, 1), 2), Frames{});
    simWrite(simSet(12, STATUS, 0));
    simReadAfter(600);
    const SimDovelState state = simDovelState(12);
    EXPECT_FALSE(state.downloading);
    EXPECT_FALSE(state.downloadComplete);
    EXPECT_EQ(state.mode, SIM_MODE_MONITOR);  // stored role code still 0
    EXPECT_EQ(simExchange(simGet(12, 3)), Frames{"20C#83000C"});
}

TEST_F(SimDownloadTest, SecondStartRequestBeginsAfresh) {
    openMonitor(13);
    streamPaced(13, record(TEK_TYPE_DATA, 0x1000, {0x11}) + "0");
    EXPECT_EQ(simDovelState(13).records, 1);
    const Frames replies = streamPaced(
        13, record(TEK_TYPE_DATA, 0x2000, {0x22}) + record(TEK_TYPE_TERMINATION, 0x2000, {}));
    EXPECT_EQ(replies.front(), readyReply(13, 0));
    const SimDovelState state = simDovelState(13);
    EXPECT_EQ(state.flash, (std::map<uint32_t, uint8_t>{{0x2000, 0x22}}));
    EXPECT_EQ(state.records, 1);
    EXPECT_EQ(state.badRecords, 0);
}

// Whatever the stream, the monitor keeps going and its counts add up.
TEST_F(SimDownloadTest, ArbitraryBytesNeverBreakTheMonitor) {
    openMonitor(14);
    EXPECT_EQ(simExchange(simSet(14, VERS, 0xAA), 3), Frames{readyReply(14, 0)});
    uint32_t state = 12345;
    const int count = 5000;
    int replies = 0;
    for (int i = 0; i < count; ++i) {
        state = state * 1103515245u + 12345u;
        // Mostly hex digits, so that some records get far; now and then anything.
        const uint8_t byte = (state >> 24) % 7 == 0
                                 ? static_cast<uint8_t>(state >> 16)
                                 : static_cast<uint8_t>("0123456789ABCDEF"[(state >> 16) % 16]);
        CanFrame frame = simCharacter(14, static_cast<char>(byte));
        simWrite(frame);
        replies += static_cast<int>(simReadAfter(1).size());
        if (!simDovelState(14).downloading) {
            break;  // a termination record can turn up by chance
        }
    }
    const SimDovelState s = simDovelState(14);
    EXPECT_EQ(replies, s.charactersTaken);
    EXPECT_EQ(s.charactersLost, 0);
    EXPECT_GT(s.badRecords, 0);
    EXPECT_LE(s.flash.size(), static_cast<size_t>(SIM_FLASH_BYTES));
}

}  // namespace
