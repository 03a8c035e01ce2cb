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
// before it is ready counts as early: a real monitor may lose it.
struct ModelDovel {
    int64_t startDelayUs = 300;
    int64_t characterDelayUs = 100;
    int answered = 1 << 30;  // characters it answers, then silence
    bool answersStart = true;
    std::string received;
    int early = 0;
    int64_t readyAtUs = NEVER;
    long queuedAtRead = 0;
};

struct TogetherCase {
    const char* name;
    std::vector<ModelDovel> dovels;  // 11 to 14
    bool arbitrate;          // of the frames ready at once, the lowest identifier is read first
    int statusMessages;      // queued among the replies, all alike
    int linkGoesAtStartOf;   // that controller's start request: every read fails from then on
    bool writeFailsToo;      // ... and that write and every later one
    const char* downloaded;  // per controller, Y or N
    int startRequests;
    std::vector<std::pair<std::string, int>> textCounts;  // how often each text shows
    bool fair;  // no reply waits while more than a round of others' frames are read
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
            if (dovel.answersStart && !gone) {
                queueFrame(a, reply, dovel.readyAtUs);
            }
            return;
        }
        dovel.received.push_back(static_cast<char>(f.DATA[0]));
        dovel.early += a.nowUs < dovel.readyAtUs ? 1 : 0;
        if (static_cast<int>(dovel.received.size()) > dovel.answered) {
            dovel.readyAtUs = NEVER;
            return;
        }
        dovel.readyAtUs = a.nowUs + dovel.characterDelayUs;
        dovel.queuedAtRead = reads;
        queueFrame(a, reply, dovel.readyAtUs);
        if (statusesLeft > 0 && dovel.received.size() % 5 == 0) {
            --statusesLeft;
            queueFrame(a, makeFrame(0, {0, 0, 0, 8}, FRAME_TYPE_STATUS), a.nowUs);
        }
    }

    void onRead(ScriptedAdapter& a) {
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
    const std::string text = endStdoutCapture();

    for (int i = 0; i < DOVEL_COUNT; ++i) {
        const bool downloaded = c.downloaded[i] == 'Y';
        EXPECT_EQ(outcome.dovels[i].downloaded, downloaded) << outcome.dovels[i].id << text;
        if (downloaded) {
            EXPECT_EQ(dovels[i].received, SENT) << outcome.dovels[i].id;
        } else {
            EXPECT_EQ(SENT.rfind(dovels[i].received, 0), 0u) << outcome.dovels[i].id;
        }
        EXPECT_EQ(dovels[i].early, 0) << outcome.dovels[i].id;
        EXPECT_FALSE(outcome.dovels[i].wentAlone) << outcome.dovels[i].id;
    }
    EXPECT_EQ(startRequests, c.startRequests);
    for (const auto& [part, count] : c.textCounts) {
        EXPECT_EQ(countOf(text, part), static_cast<size_t>(count)) << part << "\n" << text;
    }
    if (c.fair) {
        EXPECT_LE(worstWait, 2 * DOVEL_COUNT);
    }
}

ModelDovel answering(int characters) {
    ModelDovel dovel;
    dovel.answered = characters;
    return dovel;
}

ModelDovel instant() {
    ModelDovel dovel;
    dovel.startDelayUs = 0;
    dovel.characterDelayUs = 0;
    return dovel;
}

const std::vector<ModelDovel> HEALTHY(DOVEL_COUNT);
const std::string LINK_LINE = "Download FAILED: the CAN link is down (";

INSTANTIATE_TEST_SUITE_P(
    Cases, DownloadTogetherTest,
    testing::Values(
        TogetherCase{"Healthy",
                     HEALTHY,
                     false,
                     0,
                     0,
                     false,
                     "YYYY",
                     4,
                     {{"Dovel 11: Download complete!\n", 1}, {"Dovel 14: Download complete!\n", 1}},
                     true},
        TogetherCase{"NoneStarvedOnAZeroLatencyBus",
                     {instant(), instant(), instant(), instant()},
                     true,
                     0,
                     0,
                     false,
                     "YYYY",
                     4,
                     {{"Download complete!\n", 4}},
                     true},
        TogetherCase{"LinkLostAtAStartRequest",
                     HEALTHY,
                     false,
                     0,
                     12,
                     true,
                     "NNNN",
                     2,
                     {{LINK_LINE, 1}, {"Dovel 13", 0}, {"Dovel 11: download stopped at", 1}},
                     false},
        TogetherCase{"LinkLostWhileStarting",
                     HEALTHY,
                     false,
                     0,
                     13,
                     false,
                     "NNNN",
                     3,
                     {{LINK_LINE, 1}, {"Dovel 14", 0}},
                     false},
        TogetherCase{"FirstCharacterLeftUnanswered",
                     {answering(0), ModelDovel{}, ModelDovel{}, ModelDovel{}},
                     false,
                     0,
                     0,
                     false,
                     "NYYY",
                     4,
                     {{"Download FAILED: Dovel 11 stopped replying\n", 1},
                      {"Dovel 11: download stopped at", 1},
                      {"alone", 0}},
                     false},
        TogetherCase{"BusStatusRepeatedPrintedOnce",
                     HEALTHY,
                     false,
                     3,
                     0,
                     false,
                     "YYYY",
                     4,
                     {{"Got status message, DATA[3] = 0x0008\n", 1}},
                     true}),
    [](const testing::TestParamInfo<TogetherCase>& info) { return info.param.name; });

}  // namespace
