#include "app/download_together.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/property.h"

namespace {

constexpr int64_t US_PER_MS = 1000;

enum StreamState {
    STREAM_SENDING,  // between lines or characters
    STREAM_PAUSING,  // the pause at a line start
    STREAM_DONE,     // the last character is sent
    STREAM_FAILED,   // stopped replying, or the link went down
    STREAM_ALONE,    // its reply to the first character carried another identifier
};

// One controller's download among the others.
struct Stream {
    DovelOutcome* dovel;
    uint32_t replyId;  // of its ready reply
    ImageReader reader;
    char line[IMAGE_LINE_BUFFER_SIZE];
    int lineTotal;
    int lineNumber;
    int count;           // characters of the line that are sent
    int next;            // the next of them
    int sent;            // characters sent in all
    long lastSendOrder;  // when its last character went out, among all streams' sends
    // A reply of its own has come that no character has answered yet: the ready reply
    // at the start.
    bool replied;
    bool otherFrameSinceFirst;  // a frame of no stream came after its first character
    int64_t startUs;            // when its start request went out
    int64_t pauseEndUs;
    int64_t replyDueUs;  // the bound of the awaited reply
    StreamState state;
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
    return stream.state == STREAM_SENDING || stream.state == STREAM_PAUSING;
}

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
    stream->state = STREAM_FAILED;
    closeImage(&stream->reader);
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
    stream->dovel->download.durationUs = clockNowUs() - stream->startUs;
    if (const char* down = canProbeLink()) {
        failActive(together, down);
        return;
    }
    if (stream->sent == 1 && stream->otherFrameSinceFirst) {
        stream->state = STREAM_ALONE;
        closeImage(&stream->reader);
        return;
    }
    failStream(stream, false);
}

// On the bus the lowest identifier wins: controllers with lower ones, their replies paced
// as fast as the host answers them, would keep the others' replies off the bus for good.
// So no stream sends again while another still awaits the reply to a character that went
// out before its own last one: each gets at most one character ahead of the others.
bool mustLetOthersCatchUp(const Stream& stream, const Together& together) {
    for (int i = 0; i < together.count; ++i) {
        const Stream& other = together.streams[i];
        if (active(other) && !other.replied && other.lastSendOrder < stream.lastSendOrder) {
            return true;
        }
    }
    return false;
}

// Takes the stream as far as it goes at nowUs without a frame more.
void advance(Stream* stream, Together* together, int64_t nowUs) {
    CanFrame send{};
    send.ID = static_cast<uint32_t>(stream->dovel->id);
    send.TYPE = FRAME_TYPE_STANDARD;
    send.LEN = CHARACTER_FRAME_LEN;
    while (active(*stream)) {
        if (stream->state == STREAM_PAUSING) {
            if (nowUs < stream->pauseEndUs) {
                return;
            }
            stream->state = STREAM_SENDING;
        }
        if (stream->next >= stream->count) {
            if (!readImageLine(&stream->reader, stream->line, IMAGE_LINE_READ_COUNT)) {
                stream->state = STREAM_DONE;
                closeImage(&stream->reader);
                return;
            }
            ++stream->lineNumber;
            const int percent = downloadPercent(stream->lineNumber, stream->lineTotal);
            together->progressChanged |= percent != stream->dovel->download.percent;
            stream->dovel->download.percent = percent;
            stream->count = sendableCharacterCount(stream->line);
            stream->next = 0;
            stream->state = STREAM_PAUSING;
            stream->pauseEndUs = nowUs + LINE_PAUSE_MS * US_PER_MS;
            continue;
        }
        if (!stream->replied) {
            if (nowUs >= stream->replyDueUs) {
                replyMissed(stream, together);
            }
            return;
        }
        if (mustLetOthersCatchUp(*stream, *together)) {
            return;
        }
        send.DATA[0] = static_cast<uint8_t>(stream->line[FIRST_SENT_POSITION + stream->next]);
        CAN_Write(&send);
        stream->replied = false;
        ++stream->next;
        ++stream->sent;
        ++stream->dovel->download.characters;
        stream->dovel->download.durationUs = nowUs - stream->startUs;
        stream->lastSendOrder = ++together->sends;
        stream->replyDueUs = nowUs + static_cast<int64_t>(REPLY_TIMEOUT_MS) * US_PER_MS;
    }
}

// A standard frame paces only the stream whose identifier it carries.
void takeFrame(const CanFrame& frame, Together* together) {
    for (int i = 0; i < together->count; ++i) {
        Stream& stream = together->streams[i];
        if (frame.ID == stream.replyId) {
            // Only the reply awaited counts; a frame more is not a second go-ahead.
            if (active(stream) && stream.sent > 0) {
                stream.replied = true;
            }
            return;
        }
    }
    ++together->framesOfNone;
    for (int i = 0; i < together->count; ++i) {
        Stream& stream = together->streams[i];
        if (stream.sent == 1 && !stream.replied) {
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
        int64_t dueUs = -1;
        if (stream.state == STREAM_PAUSING) {
            dueUs = stream.pauseEndUs;
        } else if (stream.state == STREAM_SENDING && !stream.replied) {
            dueUs = stream.replyDueUs;
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
bool startStream(DovelOutcome* dovel, uint32_t* replyId, int64_t* startUs) {
    std::printf("Dovel %d: starting its download...", dovel->id);
    std::fflush(stdout);
    discardQueuedFrames();
    *startUs = clockNowUs();
    const CanFrame start = makeSetRequest(dovel->id, VERS, DOWNLOAD_START_VALUE);
    dovel->download.started = CAN_Write(&start) == CAN_OK;
    CanFrame reply{};
    const ReplyOutcome replied =
        awaitStandardReply(&reply, clockNowUs() + DOWNLOAD_FIRST_REPLY_TIMEOUT_MS * US_PER_MS,
                           DOWNLOAD_FIRST_REPLY_TIMEOUT_MS);
    dovel->download.durationUs = clockNowUs() - *startUs;
    if (replied == REPLY_LINK_DOWN) {
        dovel->download.linkDown = true;
        const char* down = canLinkDown();
        std::printf("\nDownload FAILED: the CAN link is down (%s)\n",
                    down != nullptr ? down : "gone");
        return false;
    }
    if (replied != REPLY_STANDARD) {
        std::printf("Download FAILED: Dovel %d stopped replying\n", dovel->id);
        return false;
    }
    *replyId = reply.ID;
    return true;
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

void addStream(Together* together, DovelOutcome* dovel, uint32_t replyId, int64_t startUs,
               const ImageBytes* image) {
    Stream& stream = together->streams[together->count++];
    stream = Stream{};
    stream.dovel = dovel;
    stream.startUs = startUs;
    stream.replyId = replyId;
    stream.replied = true;
    stream.lineTotal = countImageBytesLines(image);
    openImageBytes(&stream.reader, image->bytes.data(), image->bytes.size());
}

// One controller's download as the walk one by one makes it, its pause after it included.
void downloadOneByOne(DovelOutcome* dovel, const ImageBytes* image, int charactersSent,
                      bool started) {
    dovel->downloaded = (started ? resumeImage(dovel->id, image, charactersSent, &dovel->download)
                                 : downloadImage(dovel->id, image, &dovel->download)) == 0;
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
        DovelOutcome* dovel = &outcome->dovels[next];
        if (dovel->leftOut) {
            continue;  // nothing is written to it, its replies are paired with nothing
        }
        uint32_t replyId = 0;
        int64_t startUs = 0;
        if (!startStream(dovel, &replyId, &startUs)) {
            if (dovel->download.linkDown) {
                together.linkDown = true;
            }
            continue;
        }
        const int repeated = repeatOf(together, replyId);
        if (repeated >= 0) {
            way->repeatingId = dovel->id;
            way->repeatedId = together.streams[repeated].dovel->id;
            way->replyId = replyId;
            std::printf("[OK] but its replies carry 0x%03X as Dovel %d's do\n", replyId,
                        way->repeatedId);
        } else {
            std::printf("[OK] its replies carry 0x%03X\n", replyId);
        }
        addStream(&together, dovel, replyId, startUs, image);
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
            closeImage(&stream.reader);
            std::printf("\n\nDownloading firmware to Dovel %d\n", stream.dovel->id);
            downloadOneByOne(stream.dovel, image, 0, true);
        }
        for (; next < DOVEL_COUNT; ++next) {
            DovelOutcome* dovel = &outcome->dovels[next];
            if (dovel->leftOut) {
                continue;
            }
            std::printf("\n\nDownloading firmware to Dovel %d\n", dovel->id);
            downloadOneByOne(dovel, image, 0, false);
        }
        return;
    }

    way->startedTogether = together.count;
    if (together.count > 0 && !together.linkDown) {
        runStreams(&together);
        std::printf("\n");
    }
    way->framesOfNone = together.framesOfNone;
    for (int i = 0; i < together.count; ++i) {
        Stream& stream = together.streams[i];
        if (stream.state == STREAM_DONE) {
            stream.dovel->downloaded = true;
            std::printf("Dovel %d: Download complete!\n", stream.dovel->id);
        } else if (stream.state == STREAM_FAILED) {
            std::printf("Dovel %d: download stopped at %d%%\n", stream.dovel->id,
                        stream.dovel->download.percent);
        }
    }
    // Its replies changed identifier after the first: only the any-frame pacing of the
    // walk one by one fits it.
    for (int i = 0; i < together.count; ++i) {
        Stream& stream = together.streams[i];
        if (stream.state == STREAM_ALONE) {
            stream.dovel->wentAlone = true;
            std::printf(
                "\n\nDownloading firmware to Dovel %d alone: its replies changed their "
                "identifier\n",
                stream.dovel->id);
            stream.dovel->downloaded =
                resumeImage(stream.dovel->id, image, stream.sent, &stream.dovel->download) == 0;
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
