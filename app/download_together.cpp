#include "app/download_together.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/download.h"

namespace {

constexpr int64_t US_PER_MS = 1000;

// One controller's download among the others.
struct Stream {
    DownloadStream download;
    DovelOutcome* dovel;
    uint32_t replyId;           // of its ready reply
    long lastSendOrder;         // when its last character went out, among all streams' sends
    bool otherFrameSinceFirst;  // a frame of no stream came after its first character
    bool alone;                 // its reply to the first character carried another identifier
};

struct Together {
    Stream streams[DOVEL_COUNT];
    int count;
    long framesOfNone;  // frames that paced no stream
    long sends;
    bool progressChanged;
    bool linkDown;
};

bool active(const Stream& stream) {
    return !stream.alone && downloadStreamRunning(stream.download);
}

long long charactersSent(const Stream& stream) { return stream.dovel->download.characters; }

void printProgress(const Together& together) {
    std::printf("\rDownload progress:");
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
        std::printf(" %d: %d%% ", stream.dovel->id, stream.dovel->download.percent);
    }
    std::printf("  ");
    std::fflush(stdout);
}

// The link is one for all: its line is printed once, by the caller.
void failStream(Stream* stream, bool linkDown) {
    failDownloadStream(&stream->download, clockNowUs());
    if (linkDown) {
        stream->dovel->download.linkDown = true;
    } else {
        stream->dovel->stoppedTogether = true;
        std::printf("\nDownload FAILED: Dovel %d stopped replying\n", stream->dovel->id);
    }
}

// No reply of its own within the bound. After its first character, a controller whose
// reply may have come with another identifier goes on alone; a link that is gone is named.
void failActive(Together* together, const char* down);

void replyMissed(Stream* stream, Together* together) {
    if (const char* down = canProbeLink()) {
        failActive(together, down);
        return;
    }
    if (charactersSent(*stream) == 1 && stream->otherFrameSinceFirst) {
        stream->alone = true;
        return;
    }
    failStream(stream, false);
}

// On the bus the lowest identifier wins: controllers with lower ones, their replies paced
// as fast as the host answers them, would keep the others' replies off the bus for good.
// So no stream sends again while another still awaits the reply to a character that went
// out before its own last one: a reply that lost the bus is taken before the winners send
// again, and every controller keeps its share of the bus.
bool mustLetOthersCatchUp(const Stream& stream, const Together& together) {
    for (int i = 0; i < together.count; ++i) {
        const Stream& other = together.streams[i];
        if (active(other) && downloadStreamAwaitsReply(other.download) &&
            other.lastSendOrder < stream.lastSendOrder) {
            return true;
        }
    }
    return false;
}

// Takes the stream as far as it goes at nowUs without a frame more.
void advance(Stream* stream, Together* together, int64_t nowUs) {
    while (active(*stream)) {
        const long long before = charactersSent(*stream);
        const int percentBefore = stream->dovel->download.percent;
        const bool lineBegun = advanceDownloadStream(&stream->download, nowUs,
                                                     !mustLetOthersCatchUp(*stream, *together));
        if (charactersSent(*stream) != before) {
            stream->lastSendOrder = ++together->sends;
        }
        if (lineBegun) {
            together->progressChanged |= stream->dovel->download.percent != percentBefore;
            continue;
        }
        if (downloadStreamAwaitsReply(stream->download) &&
            stream->download.state == STREAM_SENDING && nowUs >= stream->download.replyDueUs) {
            replyMissed(stream, together);
        }
        return;
    }
}

// A standard frame paces only the stream whose identifier it carries.
void takeFrame(const CanFrame& frame, Together* together) {
    for (int i = 0; i < together->count; ++i) {
        Stream& stream = together->streams[i];
        if (frame.ID == stream.replyId) {
            // Only the reply awaited counts; a frame more is not a second go-ahead.
            if (active(stream)) {
                takeDownloadReply(&stream.download);
            }
            return;
        }
    }
    ++together->framesOfNone;
    for (int i = 0; i < together->count; ++i) {
        Stream& stream = together->streams[i];
        if (charactersSent(stream) == 1 && downloadStreamAwaitsReply(stream.download)) {
            stream.otherFrameSinceFirst = true;
        }
    }
}

void failActive(Together* together, const char* down) {
    together->linkDown = true;
    std::printf("\nDownload FAILED: the CAN link is down (%s)\n", down);
    for (int i = 0; i < together->count; ++i) {
        if (active(together->streams[i])) {
            failStream(&together->streams[i], true);
        }
    }
}

// The earliest moment a stream waits for (a pause's end, a reply's bound), or -1 when
// none is active. A stream that lets others catch up waits for their replies: some other
// stream's bound is then the earlier.
int64_t nextDueUs(const Together& together) {
    int64_t earliest = -1;
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
        if (!active(stream)) {
            continue;
        }
        int64_t dueUs = -1;
        if (stream.download.state == STREAM_PAUSING) {
            dueUs = stream.download.pauseEndUs;
        } else if (downloadStreamAwaitsReply(stream.download)) {
            dueUs = stream.download.replyDueUs;
        }
        if (dueUs >= 0 && (earliest < 0 || dueUs < earliest)) {
            earliest = dueUs;
        }
    }
    return earliest;
}

bool anyActive(const Together& together) {
    for (int i = 0; i < together.count; ++i) {
        if (active(together.streams[i])) {
            return true;
        }
    }
    return false;
}

void runStreams(Together* together) {
    int32_t lastReadError = CAN_OK;
    int lastStatus = -1;
    for (;;) {
        const int64_t nowUs = clockNowUs();
        // Twice: a stream that fails lets those it held back go on at once.
        for (int pass = 0; pass < 2; ++pass) {
            for (int i = 0; i < together->count; ++i) {
                advance(&together->streams[i], together, nowUs);
            }
        }
        if (together->progressChanged) {
            printProgress(*together);
            together->progressChanged = false;
        }
        if (!anyActive(*together)) {
            return;
        }
        const int64_t earliestUs = nextDueUs(*together);
        const int64_t dueUs = earliestUs >= 0
                                  ? earliestUs
                                  : nowUs + static_cast<int64_t>(REPLY_TIMEOUT_MS) * US_PER_MS;
        CanFrame frame{};
        const int32_t result = CAN_Read(&frame);
        if (result == CAN_OK && frame.TYPE == FRAME_TYPE_STANDARD) {
            takeFrame(frame, together);
            continue;
        }
        if (result == CAN_OK && frame.TYPE == FRAME_TYPE_STATUS && frame.DATA[3] != lastStatus) {
            std::printf("\n");
            printStatusMessage(&frame);
            lastStatus = frame.DATA[3];
        }
        if (result == CAN_OK) {
            continue;
        }
        if (const char* down = canLinkDown()) {
            failActive(together, down);
            return;
        }
        if (result != RX_QUEUE_EMPTY) {
            if (result != lastReadError) {
                std::printf("\nERROR - CAN_Read(): %ld\n", static_cast<long>(result));
                lastReadError = result;
            }
            sleepMs(READ_ERROR_PAUSE_MS);
        } else if (clockNowUs() < dueUs) {
            CAN_WaitForFrame(dueUs);
        }
    }
}

// Sends the start request and takes the ready reply: true with its identifier, or false
// with the controller failed as a download that got no reply.
bool startStream(Stream* stream, const ImageBytes* image) {
    DovelOutcome* dovel = stream->dovel;
    std::printf("Dovel %d: starting its download...", dovel->id);
    std::fflush(stdout);
    DownloadStream* download = &stream->download;
    if (startDownloadStream(download, dovel->id, ImageSource{nullptr, image}, &dovel->download) !=
        0) {
        std::printf("Download FAILED: Dovel %d stopped replying\n", dovel->id);
        return false;
    }
    CanFrame reply{};
    const ReplyOutcome replied =
        awaitStandardReply(&reply, download->replyDueUs, download->replyTimeoutMs);
    dovel->download.durationUs = clockNowUs() - download->startUs;
    if (replied == REPLY_STANDARD) {
        takeDownloadReply(download);
        stream->replyId = reply.ID;
        return true;
    }
    failDownloadStream(download, clockNowUs());
    if (replied == REPLY_LINK_DOWN) {
        dovel->download.linkDown = true;
        const char* down = canLinkDown();
        std::printf("\nDownload FAILED: the CAN link is down (%s)\n",
                    down != nullptr ? down : "gone");
        return false;
    }
    std::printf("Download FAILED: Dovel %d did not answer its download start\n", dovel->id);
    return false;
}

// The index of an earlier started controller whose ready reply had this identifier, or -1.
int repeatOf(const Together& together, uint32_t replyId) {
    for (int i = 0; i < together.count; ++i) {
        if (together.streams[i].replyId == replyId) {
            return i;
        }
    }
    return -1;
}

// A controller's download goes on alone from where it is, one by one, its pause after it
// included.
void continueOneByOne(Stream* stream) {
    stream->dovel->downloaded = continueDownloadAlone(&stream->download) == 0;
    sleepMs(AFTER_DOWNLOAD_WAIT_MS);
}

}  // namespace

void runDownloadsTogether(const ImageBytes* image, UpdateOutcome* outcome) {
    Together together{};
    together.progressChanged = true;  // the line shows from the first line's pause on
    DownloadWay* way = &outcome->download;
    std::printf("\n\nDownloading firmware to the Dovels together\n");
    int next = 0;
    for (; next < DOVEL_COUNT && way->repeatingId == 0; ++next) {
        if (outcome->dovels[next].leftOut) {
            continue;  // nothing is written to it, its replies are paired with nothing
        }
        Stream& stream = together.streams[together.count];
        stream = Stream{};
        stream.dovel = &outcome->dovels[next];
        if (!startStream(&stream, image)) {
            if (stream.dovel->download.linkDown) {
                // Nothing more reaches a controller: no more start requests, and the
                // link named once.
                together.linkDown = true;
                break;
            }
            continue;
        }
        const int repeated = repeatOf(together, stream.replyId);
        if (repeated >= 0) {
            way->repeatingId = stream.dovel->id;
            way->repeatedId = together.streams[repeated].dovel->id;
            way->replyId = stream.replyId;
            std::printf("[OK] but its replies carry 0x%03X as Dovel %d's do\n", stream.replyId,
                        way->repeatedId);
        } else {
            std::printf("[OK] its replies carry 0x%03X\n", stream.replyId);
        }
        ++together.count;
    }

    if (way->repeatingId != 0) {
        // Nothing tells their replies apart: each goes on from the ready reply it gave,
        // and the rest start as always.
        std::printf(
            "The replies of Dovel %d and Dovel %d cannot be told apart: the downloads go on "
            "one by one\n",
            way->repeatedId, way->repeatingId);
        for (int i = 0; i < together.count; ++i) {
            Stream& stream = together.streams[i];
            std::printf("\n\nDownloading firmware to Dovel %d\n", stream.dovel->id);
            continueOneByOne(&stream);
        }
        for (; next < DOVEL_COUNT; ++next) {
            DovelOutcome* dovel = &outcome->dovels[next];
            if (dovel->leftOut) {
                continue;
            }
            std::printf("\n\nDownloading firmware to Dovel %d\n", dovel->id);
            dovel->downloaded = downloadImage(dovel->id, image, &dovel->download) == 0;
            sleepMs(AFTER_DOWNLOAD_WAIT_MS);
        }
        return;
    }

    way->startedTogether = together.count;
    if (together.linkDown) {
        for (int i = 0; i < together.count; ++i) {
            failStream(&together.streams[i], true);
        }
    } else if (together.count > 0) {
        runStreams(&together);
        std::printf("\n");
    }
    way->framesOfNone = together.framesOfNone;
    for (int i = 0; i < together.count; ++i) {
        Stream& stream = together.streams[i];
        if (stream.alone) {
            continue;
        }
        if (stream.download.state == STREAM_DONE) {
            stream.dovel->downloaded = true;
            std::printf("Dovel %d: Download complete!\n", stream.dovel->id);
        } else if (stream.download.state == STREAM_FAILED) {
            std::printf("Dovel %d: download stopped at %d%%\n", stream.dovel->id,
                        stream.dovel->download.percent);
        }
    }
    // Its replies changed identifier after the first: only the any-frame pacing of the
    // walk one by one fits it. It goes on from its first character, whose reply came.
    for (int i = 0; i < together.count; ++i) {
        Stream& stream = together.streams[i];
        if (stream.alone) {
            stream.dovel->wentAlone = true;
            std::printf(
                "\n\nDownloading firmware to Dovel %d alone: its replies changed their "
                "identifier\n",
                stream.dovel->id);
            stream.download.replyTaken = true;
            stream.dovel->downloaded = continueDownloadAlone(&stream.download) == 0;
        }
    }
    sleepMs(AFTER_DOWNLOAD_WAIT_MS);
}

void printDownloadWay(const UpdateOutcome& outcome) {
    const DownloadWay& way = outcome.download;
    if (way.mode != DOWNLOAD_TOGETHER) {
        return;
    }
    if (way.repeatingId != 0) {
        std::printf(
            "Downloads: one by one, not together: the replies of Dovel %d and Dovel %d both "
            "carry 0x%03X\n",
            way.repeatedId, way.repeatingId, way.replyId);
        return;
    }
    std::printf("Downloads: together (%d of %d)", way.startedTogether, namedDovelCount(outcome));
    if (way.framesOfNone > 0) {
        std::printf(", %ld frame%s of no Dovel ignored", way.framesOfNone,
                    way.framesOfNone == 1 ? "" : "s");
    }
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (dovel.wentAlone) {
            std::printf("; Dovel %d went on alone, one by one: its replies changed identifier",
                        dovel.id);
        }
    }
    std::printf("\n");
}

void printDownloadWayAdvice(const UpdateOutcome& outcome) {
    for (const DovelOutcome& dovel : outcome.dovels) {
        if (dovel.stoppedTogether) {
            std::printf(
                "Dovel %d stopped replying in the download together: if it does again, run "
                "the update with %s=one-by-one.\n",
                dovel.id, DOWNLOAD_MODE_VARIABLE);
        }
    }
}
