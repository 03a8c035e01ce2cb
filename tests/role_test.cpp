#include "protocol/role.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dovel_access_code.h"
#include "protocol/dovel_check.h"
#include "tests/support/scripted_adapter.h"
#include "tests/support/stdout_capture.h"

namespace {

// A controller reduced to what the role procedures meet: it answers gets after a
// delay, takes ROLE writes (unless told not to) and remembers what was stored.
struct TestDovel {
    int id = 11;
    int32_t role = 0x1234;
    int32_t status = 1;
    int roleValueBytes = 4;  // two: a ROLE with bit 15 set decodes negative
    int64_t replyDelayUs = 300;
    int64_t idReplyDelayUs = 300;
    bool takesRoleWrites = true;
    bool answersRoleGets = true;
    bool answersStatusGets = true;
    int answeredRoleGets = 0;
    int roleGetsToAnswer = 1000;
    int reportedId = -1;  // -1: its own
    std::vector<int32_t> stored;
    uint8_t idReplyByte0 = 0x83;  // 0x03: an ID reply without the valid flag
    int idGetsToAnswer = 1000;
    int secondId = -1;  // reported by the second ID get on; -1: its own
    uint32_t vers = 0x0214;
    int versValueBytes = 2;
};

void answerAsDovel(TestDovel& dovel, ScriptedAdapter& adapter, const CanFrame& request) {
    if (request.ID != static_cast<uint32_t>(dovel.id)) {
        return;
    }
    const uint8_t property = request.DATA[0] & 0x7F;
    const uint32_t replyId = 0x200 | request.ID;
    if ((request.DATA[0] & 0x80) != 0) {
        const int32_t word = request.DATA[2] | (request.DATA[3] << 8);
        if (property == ROLE && dovel.takesRoleWrites) {
            dovel.role = word;
        } else if (property == STORE && word == 1) {
            dovel.stored.push_back(dovel.role);
        }
        return;
    }
    const int64_t at = adapter.nowUs + dovel.replyDelayUs;
    if (property == ID && dovel.idGetsToAnswer-- > 0) {
        const int64_t idAt = adapter.nowUs + dovel.idReplyDelayUs;
        int reported = dovel.reportedId < 0 ? dovel.id : dovel.reportedId;
        if (dovel.idGetsToAnswer < 999 && dovel.secondId >= 0) {
            reported = dovel.secondId;
        }
        queueFrame(adapter,
                   makeFrame(replyId, {dovel.idReplyByte0, 0, static_cast<uint8_t>(reported)}),
                   idAt);
    } else if (property == VERS) {
        const uint32_t v = dovel.vers;
        queueFrame(adapter,
                   dovel.versValueBytes == 2
                       ? makeFrame(replyId, {0x80, 0, uint8_t(v), uint8_t(v >> 8)})
                       : makeFrame(replyId, {0x80, 0, uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                             uint8_t(v >> 24)}),
                   at);
    } else if (property == ROLE && dovel.answersRoleGets &&
               dovel.answeredRoleGets++ < dovel.roleGetsToAnswer) {
        const auto r = static_cast<uint32_t>(dovel.role);
        if (dovel.roleValueBytes == 2) {
            queueFrame(adapter, makeFrame(replyId, {0x81, 0, uint8_t(r), uint8_t(r >> 8)}), at);
        } else {
            queueFrame(adapter,
                       makeFrame(replyId, {0x81, 0, uint8_t(r), uint8_t(r >> 8), uint8_t(r >> 16),
                                           uint8_t(r >> 24)}),
                       at);
        }
    } else if (property == STATUS && dovel.answersStatusGets) {
        queueFrame(adapter, makeFrame(replyId, {0x85, 0, static_cast<uint8_t>(dovel.status)}), at);
    }
}

std::vector<std::string> unlockFrames(int id, int property) {
    std::vector<std::string> frames;
    for (int i = 0; i < 5; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%03X#%02X00%02X%02X", id, 0x80 | property,
                      DOVEL_ACCESS_CODE_BYTES[2 * i], DOVEL_ACCESS_CODE_BYTES[2 * i + 1]);
        frames.push_back(text);
    }
    return frames;
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class RoleTest : public testing::Test {
  protected:
    void SetUp() override {
        scriptedAdapterInstall(&adapter);
        adapter.onWrite = [this](ScriptedAdapter& a, const CanFrame& f) {
            answerAsDovel(dovel, a, f);
        };
    }
    void TearDown() override { scriptedAdapterRemove(); }

    int32_t prepare() {
        beginStdoutCapture();
        const int32_t result = prepareDovel(dovel.id);
        text = endStdoutCapture();
        return result;
    }
    int restore() {
        beginStdoutCapture();
        const int result = restoreRole(dovel.id);
        text = endStdoutCapture();
        return result;
    }

    ScriptedAdapter adapter;
    TestDovel dovel;
    std::string text;
};

TEST_F(RoleTest, PrepareClearsTheRoleCodeStoresAndResets) {
    EXPECT_EQ(prepare(), 0x1234);
    EXPECT_EQ(text,
              "\nLooking for Dovel ID 11...[OK]\n"
              "Getting the ROLE...[0x1234]\n"
              "Unlocking the dovel...[OK]\n"
              "Setting the ROLE to 0x1220...[OK]\n"
              "Verifying the ROLE...[0x1220]\n"
              "Saving the ROLE...[OK]\n"
              "Resetting the dovel...[OK]\n");
    EXPECT_EQ(writtenTexts(adapter),
              concat({{"00B#03", "00B#01", "00B#05"},
                      unlockFrames(11, UNLOCK_MAIN),
                      {"00B#81002012", "00B#01", "00B#89000100", "00B#85000000"}}));
    EXPECT_EQ(dovel.stored, std::vector<int32_t>{0x1220});
    // The search reads once, 100 ms after its query; the reset follows the store by 100 ms.
    EXPECT_EQ(adapter.writtenAtUs[1] - adapter.writtenAtUs[0], 100000);
    EXPECT_EQ(adapter.writtenAtUs.back() - adapter.writtenAtUs[adapter.written.size() - 2], 100000);
}

TEST_F(RoleTest, RestoreOrsInTheRoleCode) {
    for (const auto& [role, written] : std::vector<std::pair<int32_t, const char*>>{
             {0x1220, "00B#81002512"}, {0x1222, "00B#81002712"}}) {
        dovel = TestDovel{};
        dovel.role = role;
        adapter.written.clear();
        EXPECT_EQ(restore(), 0);
        EXPECT_EQ(writtenTexts(adapter),
                  concat({{"00B#01", "00B#05"},
                          unlockFrames(11, UNLOCK_MAIN),
                          {written, "00B#01", "00B#89000100", "00B#85000000"}}));
        EXPECT_EQ(dovel.stored, std::vector<int32_t>{role | 5});
    }
}

TEST_F(RoleTest, UnlockPropertyFollowsTheMode) {
    for (const auto& [status, property] : std::vector<std::pair<int32_t, int>>{
             {0, UNLOCK_MONITOR}, {1, UNLOCK_MAIN}, {-7, UNLOCK_MAIN}}) {
        dovel.status = status;
        adapter.written.clear();
        EXPECT_EQ(unlockDovel(11), 0);
        EXPECT_EQ(writtenTexts(adapter), concat({{"00B#05"}, unlockFrames(11, property)}));
    }
}

TEST_F(RoleTest, SearchRestartsTheAdapterSilentlyUntilTheControllerAnswers) {
    dovel.idReplyDelayUs = 150000;  // later than the search's one read
    EXPECT_EQ(prepare(), 0x1234);
    EXPECT_EQ(text.rfind("\nLooking for Dovel ID 11...[OK]\nGetting the ROLE...", 0), 0u) << text;
    const std::vector<std::string> restart = {"CAN_Init(0x0014, 0)", "CAN_ResetClient",
                                              "CAN_MsgFilter(0, 1023, 0)"};
    const std::vector<std::string> firstAttempt(adapter.calls.begin(), adapter.calls.begin() + 5);
    EXPECT_EQ(firstAttempt, concat({{"CAN_Write 00B#03", "CAN_Read"}, restart}));
    EXPECT_EQ(adapter.calls[5], "CAN_Write 00B#03");
}

// 32 is the first ID no controller of this bus can have.
class CrazyIdTest : public RoleTest, public testing::WithParamInterface<int> {};

TEST_P(CrazyIdTest, IsReportedAndTheSearchGoesOn) {
    const int crazy = GetParam();
    queueFrame(adapter, makeFrame(0x20B, {0x83, 0, static_cast<uint8_t>(crazy)}), 50000);
    dovel.reportedId = -1;
    adapter.onWrite = [this, first = true](ScriptedAdapter& a, const CanFrame& f) mutable {
        if (first) {  // the first query is answered by the frame queued above
            first = false;
            return;
        }
        answerAsDovel(dovel, a, f);
    };
    EXPECT_EQ(prepare(), 0x1234);
    EXPECT_EQ(text.rfind("\nLooking for Dovel ID 11...Crazy dovel ID found: " +
                             std::to_string(crazy) + "\n[OK]\n",
                         0),
              0u)
        << text;
}

INSTANTIATE_TEST_SUITE_P(Ids, CrazyIdTest, testing::Values(32, 40, 255));

TEST_F(RoleTest, StatusMessageInTheSearchStopsBeforeAnyRoleRequest) {
    adapter.onWrite = [](ScriptedAdapter& a, const CanFrame&) {
        queueFrame(a, makeFrame(0, {0, 0, 0, 0x02}, FRAME_TYPE_STATUS));
    };
    EXPECT_EQ(prepare(), -1);
    EXPECT_EQ(text, "\nLooking for Dovel ID 11...Got status message, DATA[3] = 0x0002\n");
    EXPECT_EQ(writtenTexts(adapter), std::vector<std::string>{"00B#03"});
}

TEST_F(RoleTest, AnotherControllersAnswerEndsTheSearch) {
    adapter.onWrite = [this](ScriptedAdapter& a, const CanFrame& f) {
        if (f.DATA[0] == ID) {
            queueFrame(a, makeFrame(0x20C, {0x83, 0, 12}), a.nowUs + 10);
        } else {
            answerAsDovel(dovel, a, f);
        }
    };
    EXPECT_EQ(prepare(), 0x1234);
    EXPECT_EQ(dovel.stored, std::vector<int32_t>{0x1220});
}

TEST_F(RoleTest, SilentControllerIsGivenUpAfterTheBoundWithNothingWritten) {
    adapter.onWrite = nullptr;
    EXPECT_EQ(prepare(), -1);
    EXPECT_EQ(text, "\nLooking for Dovel ID 11...[FAILED]\n");
    for (const CanFrame& frame : adapter.written) {
        EXPECT_EQ(frameText(frame), "00B#03");
    }
    EXPECT_GE(adapter.nowUs, SEARCH_TIMEOUT_MS * 1000LL);
    EXPECT_LT(adapter.nowUs, SEARCH_TIMEOUT_MS * 1000LL + 200000);
}

TEST_F(RoleTest, UnreadRoleStopsBothProceduresBeforeAnyWrite) {
    dovel.answersRoleGets = false;
    EXPECT_EQ(prepare(), -1);
    EXPECT_EQ(text,
              "\nLooking for Dovel ID 11...[OK]\nGetting the ROLE...ERROR - no reply within 1000 "
              "ms\n[FAILED]\n");
    EXPECT_EQ(writtenTexts(adapter), (std::vector<std::string>{"00B#03", "00B#01"}));

    adapter.written.clear();
    EXPECT_EQ(restore(), 1);
    EXPECT_EQ(text, "Getting the ROLE...ERROR - no reply within 1000 ms\n[FAILED]\n");
    EXPECT_EQ(writtenTexts(adapter), std::vector<std::string>{"00B#01"});
    EXPECT_TRUE(dovel.stored.empty());
}

TEST_F(RoleTest, UnknownModeSendsNoAccessCode) {
    dovel.answersStatusGets = false;
    EXPECT_EQ(restore(), 1);
    EXPECT_EQ(text,
              "Getting the ROLE...[0x1234]\nUnlocking the dovel...ERROR - no reply within 1000 "
              "ms\n[FAILED]\n");
    EXPECT_EQ(writtenTexts(adapter), (std::vector<std::string>{"00B#01", "00B#05"}));
    beginStdoutCapture();
    EXPECT_EQ(unlockDovel(11), 1);
    endStdoutCapture();
}

TEST_F(RoleTest, PrepareWithAFailedCheckResetsWithoutStoring) {
    dovel.takesRoleWrites = false;
    EXPECT_EQ(prepare(), -1);
    EXPECT_NE(text.find("Verifying the ROLE...[0x1234]\nROLE verification FAILED!\n"
                        "Resetting the dovel...[OK]\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Saving"), std::string::npos);
    EXPECT_EQ(adapter.written.back().DATA[0], 0x80 | STATUS);
    EXPECT_TRUE(dovel.stored.empty());
}

TEST_F(RoleTest, RestoreWithAFailedCheckSendsNothingMore) {
    dovel.role = 0x1220;
    dovel.takesRoleWrites = false;
    EXPECT_EQ(restore(), 1);
    EXPECT_EQ(text,
              "Getting the ROLE...[0x1220]\nUnlocking the dovel...[OK]\nSetting the ROLE to "
              "0x1225...[OK]\nVerifying the ROLE...[0x1220]\nROLE verification FAILED!\n");
    EXPECT_EQ(frameText(adapter.written.back()), "00B#01");
}

TEST_F(RoleTest, MissingReadBackCountsAsAFailedCheck) {
    dovel.roleGetsToAnswer = 1;
    EXPECT_EQ(prepare(), -1);
    EXPECT_NE(text.find("Verifying the ROLE...ERROR - no reply within 1000 ms\n[FAILED]\nROLE "
                        "verification FAILED!\nResetting the dovel...[OK]\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(dovel.stored.empty());
}

// A ROLE with bit 15 set, reported in two bytes, decodes negative; the check compares
// the 16-bit words, so the good write passes in both procedures, and every value is
// shown as the word it is.
TEST_F(RoleTest, RoleWithBit15SetPassesItsCheck) {
    dovel.role = 0x8465;
    dovel.roleValueBytes = 2;
    EXPECT_EQ(prepare(), static_cast<int32_t>(0xFFFF8465u));
    EXPECT_NE(text.find("Getting the ROLE...[0x8465]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Setting the ROLE to 0x8460...[OK]\nVerifying the ROLE...[0x8460]\n"
                        "Saving the ROLE...[OK]\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(restore(), 0);
    EXPECT_NE(text.find("Setting the ROLE to 0x8465...[OK]\n"), std::string::npos) << text;
    EXPECT_EQ(dovel.stored, (std::vector<int32_t>{0x8460, 0x8465}));
}

// The final check (one ID get, the ROLE stored by the restoration) and --status (two ID
// gets, the ROLE shown): no "[OK]" without the controller's ID in a valid reply and role
// code 5 in its ROLE; a healthy controller is never failed.
struct CheckCase {
    const char* name;
    std::string line;  // after "Checking Dovel 11..."
    bool status = false;
    ExpectedVersion expected{};
    int32_t role = 0x1225;
    int roleBytes = 4;
    uint32_t vers = 0x0214;
    int versBytes = 2;
    uint8_t idByte0 = 0x83;
    int idAnswers = 1000;
    int secondId = -1;
    int32_t statusValue = 1;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

class DovelCheckTest : public RoleTest, public testing::WithParamInterface<CheckCase> {};

TEST_P(DovelCheckTest, ProvesIdentityBeforeAnyVerdict) {
    const CheckCase& c = GetParam();
    dovel.role = c.role;
    dovel.roleValueBytes = c.roleBytes;
    dovel.vers = c.vers;
    dovel.versValueBytes = c.versBytes;
    dovel.idReplyByte0 = c.idByte0;
    dovel.idGetsToAnswer = c.idAnswers;
    dovel.secondId = c.secondId;
    dovel.status = c.statusValue;
    const DovelCheckQuestion question{
        c.status ? CHECK_ID_QUERIES_STATUS : CHECK_ID_QUERIES_AFTER_UPDATE, c.status, !c.status,
        0x1225, c.expected};
    DovelCheckAnswer answer{};
    beginStdoutCapture();
    const DovelCheck check = checkDovel(11, question, &answer);
    EXPECT_EQ(endStdoutCapture(), "Checking Dovel 11..." + c.line);
    EXPECT_EQ(check == CHECK_MAIN_FIRMWARE, c.line.rfind("[OK]", 0) == 0) << check;
    EXPECT_TRUE(adapter.queue.empty()) << "every request got its reply read";
}

const std::string NOT_ITS_ID =
    "[FAILED] answers, but not with its ID: it may still be in its monitor, taking an image "
    "from an interrupted update\n";
const std::string OK = "[OK] main firmware, VERS 0x";

INSTANTIATE_TEST_SUITE_P(
    Checks, DovelCheckTest,
    testing::Values(
        CheckCase{"Healthy", OK + "0214\n"},
        CheckCase{.name = "RoleWithBit15InTwoBytes",
                  .line = OK + "0214, ROLE 0x8465\n",
                  .status = true,
                  .role = 0x8465,
                  .roleBytes = 2},
        CheckCase{.name = "RoleOtherThanStoredIsShown",
                  .line = OK + "0214, ROLE 0x1245, not the 0x1225 stored\n",
                  .role = 0x1245},
        CheckCase{.name = "IdWithoutValidFlag", .line = NOT_ITS_ID, .idByte0 = 0x03},
        CheckCase{.name = "SecondIdMissing", .line = NOT_ITS_ID, .status = true, .idAnswers = 1},
        CheckCase{.name = "SecondIdWrong", .line = NOT_ITS_ID, .status = true, .secondId = 12},
        CheckCase{.name = "RoleCodeOfAnId",
                  .line = "[FAILED] ROLE 0x000b holds role code 11, not 5: it may still be in "
                          "its monitor, taking an image from an interrupted update\n",
                  .status = true,
                  .role = 0x000B},
        CheckCase{.name = "RoleCodeZero",
                  .line = "[FAILED] still in its monitor, ROLE 0x1220, not the 0x1225 stored\n",
                  .role = 0x1220},
        CheckCase{
            .name = "StatusZero", .line = "[FAILED] still in its monitor\n", .statusValue = 0},
        CheckCase{.name = "ExpectedFFFF",
                  .line = OK + "ffff\n",
                  .expected = {true, 0xFFFF},
                  .vers = 0xFFFF},
        CheckCase{.name = "Expected8001",
                  .line = OK + "8001\n",
                  .expected = {true, 0x8001},
                  .vers = 0x8001},
        CheckCase{.name = "ExpectedComparesAllBits",
                  .line = "[FAILED] main firmware, VERS 0x10214, expected 0x0214\n",
                  .expected = {true, 0x0214},
                  .vers = 0x10214,
                  .versBytes = 4}),
    [](const testing::TestParamInfo<CheckCase>& info) { return info.param.name; });

}  // namespace
