// The downloads together against controllers modelled on a scripted adapter: which
// frames each controller gets and when, and what the walk makes of each.
#include "app/download_together.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/scripted_adapter.h"
#include "tests/support/stdout_capture.h"

namespace {

constexpr uint32_t REPLY_ID_BASE = 0x200;
constexpr int32_t GONE = 256;
constexpr int64_t NEVER = INT64_MAX;

// One controller's monitor: its ready reply some time after the start request, and one
// reply per character taken, each when it is ready for the next. A character that comes
// before it is ready counts as early: a real monitor may lose it. As one by one would,
// a controller whose ready reply a stray frame stood in for gets its proof characters one
// ahead of it.
struct ModelDovel {
    int64_t startDelayUs = 300;
    int64_t characterDelayUs = 100;
    int answered = 1 << 30;         // characters it answers, then silence
    uint32_t characterReplyId = 0;  // of its replies to characters, when not its ready reply's
    int strayFor = 0;               // it answers the first start request to that controller once
    int extraAfter = 0;             // after its reply to that character, a frame more, 300 us later
    std::string received{};
    int early = 0;
    int64_t readyAtUs = NEVER;
    long queuedAtRead = 0;
};

struct TogetherCase {
    const char* name = "";
    std::vector<ModelDovel> dovels = std::vector<ModelDovel>(DOVEL_COUNT);  // 11 to 14
    const char* downloaded = "YYYY";  // per controller, Y or N
    // How often each text shows, in the walk's output and the summary's line on it.
    std::vector<std::pair<std::string, int>> textCounts{};
    int startRequests = DOVEL_COUNT;
    bool arbitrate = false;      // of the frames ready at once, the lowest identifier is read first
    int statusMessages = 0;      // queued among the replies, all alike
    int linkGoesAtStartOf = 0;   // that controller's start request: every read fails from then on
    bool writeFailsToo = false;  // ... and that write and every later one
    int64_t periodicUs = 0;      // a node that is no Dovel sends a frame this often
    int earlyAllowed = 0;  // characters a controller may get before it is ready, as one by one
    bool fair = false;     // no reply waits while more than a round of others' frames are read
};

void PrintTo(const TogetherCase& c, std::ostream* out) { *out << c.name; }

const std::string IMAGE_TEXT =
    "%0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz\n%0123\n%456789\n";
const std::string SENT = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

class DownloadTogetherTest : public testing::TestWithParam<TogetherCase> {
  protected:
    void SetUp() override {
        scriptedAdapterInstall(&adapter);
        dovels = GetParam().dovels;
        adapter.onWrite = [this](ScriptedAdapter& a, const CanFrame& f) { onWrite(a, f); };
        adapter.onRead = [this](ScriptedAdapter& a) { onRead(a); };
    }
    void TearDown() override { scriptedAdapterRemove(); }

    void onWrite(ScriptedAdapter& a, const CanFrame& f) {
        const int index = static_cast<int>(f.ID) - FIRST_DOVEL_ID;
        ASSERT_TRUE(index >= 0 && index < DOVEL_COUNT) << f.ID;
        ModelDovel& dovel = dovels[index];
        const CanFrame reply = makeFrame(REPLY_ID_BASE | f.ID, {0x80, 0x00});
        if (f.LEN != 1) {
            ++startRequests;
            if (static_cast<int>(f.ID) == GetParam().linkGoesAtStartOf) {
                gone = true;
                a.writeResult = GetParam().writeFailsToo ? GONE : 0;
            }
            dovel.readyAtUs = a.nowUs + dovel.startDelayUs;
            dovel.queuedAtRead = reads;
            if (!gone) {
                queueFrame(a, reply, dovel.readyAtUs);
            }
            for (size_t i = 0; i < dovels.size(); ++i) {
                if (dovels[i].strayFor == static_cast<int>(f.ID)) {
                    dovels[i].strayFor = 0;
                    queueFrame(a, makeFrame(REPLY_ID_BASE | (FIRST_DOVEL_ID + i), {0x80, 0x00}),
                               a.nowUs + 20);
                }
            }
            return;
        }
        dovel.received.push_back(static_cast<char>(f.DATA[0]));
        dovel.early += a.nowUs < dovel.readyAtUs ? 1 : 0;
        if (static_cast<int>(dovel.received.size()) > dovel.answered || dovel.readyAtUs == NEVER) {
            dovel.readyAtUs = NEVER;
            return;
        }
        // An early character waits in its receive buffer until it is ready.
        dovel.readyAtUs = std::max(a.nowUs, dovel.readyAtUs) + dovel.characterDelayUs;
        dovel.queuedAtRead = reads;
        CanFrame characterReply = reply;
        characterReply.ID = dovel.characterReplyId != 0 ? dovel.characterReplyId : reply.ID;
        queueFrame(a, characterReply, dovel.readyAtUs);
        if (static_cast<int>(dovel.received.size()) == dovel.extraAfter) {
            queueFrame(a, characterReply, dovel.readyAtUs + 300);
        }
        if (statusesLeft > 0 && dovel.received.size() % 5 == 0) {
            --statusesLeft;
            queueFrame(a, makeFrame(0, {0, 0, 0, 8}, FRAME_TYPE_STATUS), a.nowUs);
        }
    }

    void onRead(ScriptedAdapter& a) {
        for (; GetParam().periodicUs > 0 && nextPeriodicUs <= a.nowUs;
             nextPeriodicUs += GetParam().periodicUs) {
            queueFrame(a, makeFrame(0x1F0, {0x00}), nextPeriodicUs);
        }
        arbitrate(a);
        if (!a.queue.empty() && a.queue.front().atUs <= a.nowUs) {
            ++reads;
            const int index = static_cast<int>(a.queue.front().frame.ID & 0x1F) - FIRST_DOVEL_ID;
            if (index >= 0 && index < DOVEL_COUNT) {
                worstWait = std::max(worstWait, reads - dovels[index].queuedAtRead);
            }
        }
    }

    void arbitrate(ScriptedAdapter& a) {
        if (gone) {
            a.queue.push_front({GONE, CanFrame{}, 0});
            return;
        }
        if (!GetParam().arbitrate) {
            return;
        }
        auto ready = std::find_if(a.queue.begin(), a.queue.end(),
                                  [&](const ScriptedRead& r) { return r.atUs > a.nowUs; });
        auto lowest = std::min_element(
            a.queue.begin(), ready,
            [](const ScriptedRead& x, const ScriptedRead& y) { return x.frame.ID < y.frame.ID; });
        if (lowest != ready) {
            std::rotate(a.queue.begin(), lowest, lowest + 1);
        }
    }

    ScriptedAdapter adapter;
    std::vector<ModelDovel> dovels;
    int startRequests = 0;
    int statusesLeft = 0;
    bool gone = false;
    long reads = 0;
    long worstWait = 0;  // reads of other frames while a reply was ready to be read
    int64_t nextPeriodicUs = 0;
};

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_P(DownloadTogetherTest, EachControllerGetsItsImageOrFailsAlone) {
    const TogetherCase& c = GetParam();
    statusesLeft = c.statusMessages;
    ImageBytes image;
    image.bytes.assign(IMAGE_TEXT.begin(), IMAGE_TEXT.end());
    UpdateOutcome outcome{};
    outcome.download.mode = DOWNLOAD_TOGETHER;
    for (int i = 0; i < DOVEL_COUNT; ++i) {
        outcome.dovels[i].id = FIRST_DOVEL_ID + i;
    }
    beginStdoutCapture();
    runDownloadsTogether(&image, &outcome);
    printDownloadWay(outcome);
    const std::string text = endStdoutCapture();

    for (int i = 0; i < DOVEL_COUNT; ++i) {
        const bool downloaded = c.downloaded[i] == 'Y';
        EXPECT_EQ(outcome.dovels[i].downloaded, downloaded) << outcome.dovels[i].id << text;
        if (downloaded) {
            EXPECT_EQ(dovels[i].received, SENT) << outcome.dovels[i].id;
        } else {
            EXPECT_EQ(SENT.rfind(dovels[i].received, 0), 0u) << outcome.dovels[i].id;
        }
        EXPECT_LE(dovels[i].early, c.earlyAllowed) << outcome.dovels[i].id;
    }
    EXPECT_EQ(startRequests, c.startRequests);
    for (const auto& [part, count] : c.textCounts) {
        EXPECT_EQ(countOf(text, part), static_cast<size_t>(count)) << part << "\n" << text;
    }
    if (c.fair) {
        EXPECT_LE(worstWait, 2 * DOVEL_COUNT);
    }
}

std::vector<ModelDovel> oneOf(int id, ModelDovel odd) {
    std::vector<ModelDovel> dovels(DOVEL_COUNT);
    dovels[id - FIRST_DOVEL_ID] = odd;
    return dovels;
}

constexpr int PROOF_CHARACTERS = 4;
const ModelDovel INSTANT{.startDelayUs = 0, .characterDelayUs = 0};
const std::string LINK_LINE = "Download FAILED: the CAN link is down (";
const std::string ALL_TOGETHER = "Downloads: together (4 of 4)\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadTogetherTest,
    testing::Values(
        TogetherCase{.name = "Healthy",
                     .textCounts = {{"Download complete!\n", 4}, {ALL_TOGETHER, 1}},
                     .fair = true},
        TogetherCase{.name = "NoneStarvedOnAZeroLatencyBus",
                     .dovels = {INSTANT, INSTANT, INSTANT, INSTANT},
                     .textCounts = {{ALL_TOGETHER, 1}},
                     .arbitrate = true,
                     .fair = true},
        TogetherCase{.name = "LinkLostAtAStartRequest",
                     .downloaded = "NNNN",
                     .textCounts = {{LINK_LINE, 1}, {"Dovel 13", 0}, {"11: download stopped", 1}},
                     .startRequests = 2,
                     .linkGoesAtStartOf = 12,
                     .writeFailsToo = true},
        TogetherCase{.name = "LinkLostWhileStarting",
                     .downloaded = "NNNN",
                     .textCounts = {{LINK_LINE, 1}, {"Dovel 14", 0}},
                     .startRequests = 3,
                     .linkGoesAtStartOf = 13},
        TogetherCase{.name = "FirstCharacterLeftUnanswered",
                     .dovels = oneOf(11, {.answered = 0}),
                     .downloaded = "NYYY",
                     .textCounts = {{"Download FAILED: Dovel 11 stopped replying\n", 1},
                                    {"Downloads: together (3 of 4)\n", 1}}},
        TogetherCase{.name = "RepliesStopAfterTheProof",
                     .dovels = oneOf(12, {.answered = 30}),
                     .downloaded = "YNYY",
                     .textCounts = {{"\nDownload FAILED: Dovel 12 stopped replying\n", 1},
                                    {"Dovel 12: download stopped at 33%\n", 1},
                                    {ALL_TOGETHER, 1}}},
        TogetherCase{.name = "BusStatusRepeatedPrintedOnce",
                     .textCounts = {{"Got status message, DATA[3] = 0x0008\n", 1}},
                     .statusMessages = 3},
        TogetherCase{.name = "ReadyReplyOfAnotherIdentifier",
                     .dovels = oneOf(12, {.characterReplyId = 0x30C}),
                     .textCounts = {{"Dovel 12: starting its download...[OK] its replies carry "
                                     "0x30C\n",
                                     1},
                                    {ALL_TOGETHER, 1}}},
        TogetherCase{.name = "StrayFrameBeforeTheReadyReply",
                     .dovels = {{}, {}, {.startDelayUs = 2000}, {.strayFor = 13}},
                     .textCounts = {{"Dovel 13: starting its download...[OK] but a frame of "
                                     "0x20D came with no character awaiting it\n",
                                     1},
                                    {"\n\nDownloading firmware to Dovel 11\n", 1},
                                    {"\n\nDownloading firmware to Dovel 14\n", 1},
                                    {"Downloads: one by one, not together: the replies of "
                                     "Dovel 13 were not proven its own (a frame of 0x20D)\n",
                                     1}},
                     .earlyAllowed = PROOF_CHARACTERS},
        TogetherCase{.name = "StrayFrameBeforeALongErase",
                     .dovels = {{}, {}, {.startDelayUs = 5000000}, {.strayFor = 13}},
                     .textCounts = {{"Downloads: one by one, not together", 1}},
                     .earlyAllowed = PROOF_CHARACTERS},
        TogetherCase{.name = "StrayAndUnequalReplyDelays",
                     .dovels = {{},
                                {},
                                {.startDelayUs = 5000, .characterDelayUs = 20},
                                {.characterDelayUs = 3000, .strayFor = 13}},
                     .textCounts = {{"Downloads: one by one, not together", 1}},
                     .earlyAllowed = PROOF_CHARACTERS},
        TogetherCase{.name = "PeriodicForeignSource",
                     .textCounts = {{"Dovel 12: starting", 0},
                                    {"Downloads: one by one, not together: the replies of "
                                     "Dovel 11 were not proven its own (a frame of 0x1F0)\n",
                                     1}},
                     .periodicUs = 150,
                     .earlyAllowed = static_cast<int>(SENT.size())},
        TogetherCase{.name = "ProvenIdentifierWithNothingAwaited",
                     .dovels = oneOf(13, {.extraAfter = 62}),
                     .textCounts = {{"\nA frame of 0x20D, Dovel 13's replies, came with no reply "
                                     "awaited: the downloads go on one by one\n",
                                     1},
                                    {"\n\nDownloading firmware to Dovel 11\n", 1},
                                    {"Downloads: together (4 of 4); then one by one: a frame of "
                                     "0x20D, Dovel 13's replies, came with no reply awaited\n",
                                     1}}}),
    [](const testing::TestParamInfo<TogetherCase>& info) { return info.param.name; });

}  // namespace
