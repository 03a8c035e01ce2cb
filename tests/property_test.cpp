#include "protocol/property.h"

#include <gtest/gtest.h>

#include "can/reply_owners.h"
#include "protocol/dovel_check.h"
#include "tests/support/scripted_adapter.h"
#include "tests/support/stdout_capture.h"

namespace {

struct DecodeCase {
    const char* name;
    CanFrame reply;
    int expectedResult;
    int32_t expectedValue;  // when the result is 0
};

class DecodeReplyTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeReplyTest, DecodesBothFormsOrFails) {
    const DecodeCase& c = GetParam();
    constexpr int32_t UNTOUCHED = 0x5A5A5A5A;
    int32_t value = UNTOUCHED;
    EXPECT_EQ(decodeReply(&c.reply, &value), c.expectedResult);
    EXPECT_EQ(value, c.expectedResult == 0 ? c.expectedValue : UNTOUCHED);
}

CanFrame withLen(CanFrame frame, uint8_t len) {
    frame.LEN = len;
    return frame;
}

// Little-endian replies come from node 11; packed ones from 0x400 | 11 << 5 | 3.
constexpr uint32_t NODE = 11;
constexpr uint32_t PACKED_ID = 0x400 | (NODE << 5) | 3;

INSTANTIATE_TEST_SUITE_P(
    Replies, DecodeReplyTest,
    testing::Values(
        DecodeCase{"OneByteMinusOne", makeFrame(NODE, {0x81, 0, 0xFF}), 0, -1},
        DecodeCase{"OneByte127", makeFrame(NODE, {0x81, 0, 0x7F}), 0, 127},
        DecodeCase{"TwoBytesMinus32768", makeFrame(NODE, {0x81, 0, 0x00, 0x80}), 0, -32768},
        DecodeCase{"ThreeBytesSignExtended", makeFrame(NODE, {0x81, 0, 0x00, 0x00, 0x80}), 0,
                   static_cast<int32_t>(0xFF800000u)},
        DecodeCase{"FourBytesMinusTwo", makeFrame(NODE, {0x81, 0, 0xFE, 0xFF, 0xFF, 0xFF}), 0, -2},
        DecodeCase{"FourBytesUnchanged", makeFrame(NODE, {0x81, 0, 0x01, 0x00, 0x00, 0x80}), 0,
                   static_cast<int32_t>(0x80000001u)},
        DecodeCase{"TwoBytesPositive", makeFrame(NODE, {0x81, 0x55, 0x34, 0x12}), 0, 0x1234},
        DecodeCase{"LenTwoIsZero", makeFrame(NODE, {0x81, 0x77}), 0, 0},
        DecodeCase{"LenZeroIsZero", withLen(makeFrame(NODE, {0x81}), 0), 0, 0},
        DecodeCase{"PackedNegative", makeFrame(PACKED_ID, {0xA0, 0x00, 0x01}), 0,
                   static_cast<int32_t>(0xFFE00001u)},
        DecodeCase{"PackedIgnoresBit6", makeFrame(PACKED_ID, {0xC1, 0x23, 0x45}), 0, 0x012345},
        DecodeCase{"PackedWhateverLen", withLen(makeFrame(PACKED_ID, {0x81, 0x02, 0x03}), 1), 0,
                   0x010203},
        DecodeCase{"Bit7ClearFails", makeFrame(NODE, {0x05, 0, 0x01}), 1, 0},
        DecodeCase{"Bit7ClearFailsPacked", makeFrame(PACKED_ID, {0x05, 0, 0x01}), 1, 0},
        DecodeCase{"FiveValueBytesFail", makeFrame(NODE, {0x81, 0, 1, 2, 3, 4, 5}), 1, 0},
        DecodeCase{"SixValueBytesFail", makeFrame(NODE, {0x81, 0, 1, 2, 3, 4, 5, 6}), 1, 0},
        DecodeCase{"LenAboveEightFails", withLen(makeFrame(NODE, {0x81, 0, 1}), 15), 1, 0},
        DecodeCase{"LenAboveEightFailsPacked", withLen(makeFrame(PACKED_ID, {0x81, 0, 1}), 200), 1,
                   0}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

struct RequestCase {
    const char* name;
    CanFrame frame;
    const char* expected;
};

class RequestLayoutTest : public testing::TestWithParam<RequestCase> {};

TEST_P(RequestLayoutTest, BuildsTheExactFrame) {
    EXPECT_EQ(frameText(GetParam().frame), GetParam().expected);
    EXPECT_EQ(GetParam().frame.TYPE, FRAME_TYPE_STANDARD);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RequestLayoutTest,
    testing::Values(
        RequestCase{"GetId", makeGetRequest(11, ID), "00B#03"},
        RequestCase{"GetStatus", makeGetRequest(14, STATUS), "00E#05"},
        RequestCase{"GetKeepsLowEightBits", makeGetRequest(12, 0x17F), "00C#7F"},
        RequestCase{"SetRole", makeSetRequest(11, ROLE, 0x1234), "00B#81003412"},
        RequestCase{"SetOnlyLow16Bits", makeSetRequest(13, ROLE, 0x7ABCD), "00D#8100CDAB"},
        RequestCase{"SetNegative", makeSetRequest(12, ROLE, -27), "00C#8100E5FF"},
        RequestCase{"Store", makeSetRequest(11, STORE, 1), "00B#89000100"},
        RequestCase{"Reset", makeSetRequest(11, STATUS, 0), "00B#85000000"},
        RequestCase{"UnlockMonitor", makeSetRequest(11, UNLOCK_MONITOR, 0xBEEF), "00B#8800EFBE"},
        RequestCase{"DownloadStart", makeSetRequest(12, VERS, 0xAA), "00C#8000AA00"}),
    [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

class GetPropertyTest : public testing::Test {
  protected:
    void SetUp() override { scriptedAdapterInstall(&adapter); }
    void TearDown() override { scriptedAdapterRemove(); }
    ScriptedAdapter adapter;
};

TEST_F(GetPropertyTest, DropsStaleFramesThenTakesTheNextFrameAsTheReply) {
    queueFrame(adapter, makeFrame(12, {0x83, 0, 12}));  // a late answer to an earlier query
    adapter.onWrite = [](ScriptedAdapter& a, const CanFrame&) {
        queueFrame(a, makeFrame(0x20B, {0x81, 0, 0x25, 0x12}), a.nowUs + 200);
    };
    int32_t value = 0;
    EXPECT_EQ(getProperty(11, ROLE, &value), 0);
    EXPECT_EQ(value, 0x1225);
    EXPECT_EQ(writtenTexts(adapter), std::vector<std::string>{"00B#01"});
}

TEST_F(GetPropertyTest, TakesAnyStandardFrameWhateverItsSender) {
    adapter.onWrite = [](ScriptedAdapter& a, const CanFrame&) {
        queueFrame(a, makeFrame(0x7FF, {0x80, 0, 0x09}));
    };
    int32_t value = 0;
    EXPECT_EQ(getProperty(11, ROLE, &value), 0);
    EXPECT_EQ(value, 9);
}

TEST_F(GetPropertyTest, FailsOnSilenceStatusOrAnInvalidReplyLeavingTheValue) {
    const std::vector<std::function<void(ScriptedAdapter&, const CanFrame&)>> answers = {
        nullptr,
        [](ScriptedAdapter& a, const CanFrame&) {
            queueFrame(a, makeFrame(0, {0, 0, 0, 1}, FRAME_TYPE_STATUS));
        },
        [](ScriptedAdapter& a, const CanFrame&) {
            queueFrame(a, makeFrame(11, {0x05, 0, 1}));
        },
    };
    for (const auto& answer : answers) {
        adapter.onWrite = answer;
        int32_t value = 77;
        beginStdoutCapture();
        EXPECT_EQ(getProperty(11, ROLE, &value), 1);
        endStdoutCapture();
        EXPECT_EQ(value, 77);
    }
}

// A frame of an identifier proven another controller's is passed over within the reply's
// bound; the asked controller's own, an identifier shared by two controllers, or one not
// proven is taken. Before it, another controller's frame: (identifier, whose).
struct OwnerCase {
    const char* name;
    uint32_t firstId;
    std::vector<std::pair<uint32_t, int>> owners;
    int32_t expectedValue;  // 0x11 from the first frame, 13 from the asked controller's
};

void PrintTo(const OwnerCase& c, std::ostream* out) { *out << c.name; }

class ReplyOwnerTest : public GetPropertyTest, public testing::WithParamInterface<OwnerCase> {
  protected:
    void TearDown() override {
        forgetReplyOwners();
        GetPropertyTest::TearDown();
    }
};

TEST_P(ReplyOwnerTest, PassesOverOnlyAnotherControllersProvenIdentifier) {
    for (const auto& [id, controller] : GetParam().owners) {
        noteReplyOwner(id, controller);
    }
    adapter.onWrite = [](ScriptedAdapter& a, const CanFrame&) {
        queueFrame(a, makeFrame(GetParam().firstId, {0x81, 0, 0x11}), a.nowUs + 100);
        queueFrame(a, makeFrame(0x20D, {0x81, 0, 13}), a.nowUs + 300);
    };
    int32_t value = 0;
    EXPECT_EQ(getProperty(13, ROLE, &value), 0);
    EXPECT_EQ(value, GetParam().expectedValue);
    // The final check alike: 13's own answer holds its ID, the other frame does not.
    adapter.queue.clear();
    DovelCheckAnswer answer{};
    beginStdoutCapture();
    const DovelCheck check =
        checkDovel(13, DovelCheckQuestion{1, false, false, 0, ExpectedVersion{}}, &answer);
    const std::string text = endStdoutCapture();
    EXPECT_EQ(check == CHECK_NOT_ITS_ID, GetParam().expectedValue == 0x11) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Owners, ReplyOwnerTest,
    testing::Values(OwnerCase{"AnotherControllersIsPassedOver", 0x20C, {{0x20C, 12}}, 13},
                    OwnerCase{"ItsOwnIsTaken", 0x20C, {{0x20C, 13}}, 0x11},
                    OwnerCase{"SharedIsTaken", 0x200, {{0x200, 11}, {0x200, 12}}, 0x11},
                    OwnerCase{"UnprovenIsTaken", 0x20C, {{0x20E, 14}}, 0x11}),
    [](const testing::TestParamInfo<OwnerCase>& info) { return info.param.name; });

TEST_F(GetPropertyTest, SetPropertySendsOneFrameAndReadsNothing) {
    setProperty(11, ROLE, 0x12345);
    EXPECT_EQ(writtenTexts(adapter), std::vector<std::string>{"00B#81004523"});
    EXPECT_EQ(adapter.calls, std::vector<std::string>{"CAN_Write 00B#81004523"});
}

}  // namespace
