#include "app/download_together.h"

#include <algorithm>
#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/download.h"

namespace {

constexpr int64_t US_PER_MS = 1000;
// Characters a controller is sent, one by one, before its identifier counts as proven.
constexpr int PROOF_CHARACTERS = 4;
// After them, nothing may come for twice the longest reply they took, and never less
// than this: a frame then is one no character awaited.
constexpr int64_t PROOF_QUIET_MIN_US = 5 * US_PER_MS;
constexpr int64_t PROOF_QUIET_FACTOR = 2;

// One controller's download among the others.
struct Stream {
    DownloadStream download;
    DovelOutcome* dovel;
    uint32_t replyId;     // proven by its first characters
    long lastSendOrder;   // when its last character went out, among all streams' sends
    bool lastReplyTaken;  // the one reply to its last character
};

struct Together {
    Stream streams[DOVEL_COUNT];
    int count;
    long framesOfNone;  // frames that paced no stream
    long sends;
    bool progressChanged;
    bool linkDown;
    // A frame of a proven identifier came while its controller awaited none: no
    // character is sent any more; the replies in flight are taken, then one by one.
    bool stopping;
};

bool active(const Stream& stream) { return downloadStreamRunning(stream.download); }

void printProgress(const Together& together) {
    std::printf("\rDownload progress:");
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
        std::printf(" %d: %d%% ", stream.dovel->id, stream.dovel->download.percent);
    }
    std::printf("  ");
    std::fflush(stdout);
}

void printLinkDown(const char* down) {
    std::printf("\nDownload FAILED: the CAN link is down (%s)\n", down != nullptr ? down : "gone");
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

void failActive(Together* together, const char* down) {
    together->linkDown = true;
    printLinkDown(down);
    for (int i = 0; i < together->count; ++i) {
        if (active(together->streams[i])) {
            failStream(&together->streams[i], true);
        }
    }
}

// No reply of its own within the bound: the controller stopped replying, unless the
// link is gone.
void replyMissed(Stream* stream, Together* together) {
    if (const char* down = canProbeLink()) {
        failActive(together, down);
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
        const long long before = stream->dovel->download.characters;
        const int percentBefore = stream->dovel->download.percent;
        const bool maySend = !together->stopping && !mustLetOthersCatchUp(*stream, *together);
        const bool lineBegun = advanceDownloadStream(&stream->download, nowUs, maySend);
        if (stream->dovel->download.characters != before) {
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

void stopTogether(Together* together, DownloadWay* way, const Stream& stream) {
    together->stopping = true;
    way->contradictedId = stream.dovel->id;
    way->replyId = stream.replyId;
    std::printf(
        "\nA frame of 0x%03X, Dovel %d's replies, came with no reply awaited: the downloads go "
        "on one by one\n",
        stream.replyId, stream.dovel->id);
}

// A standard frame paces only the stream whose proven identifier it carries, and only
// when that stream awaits a reply (or the one reply to its last character).
void takeFrame(const CanFrame& frame, Together* together, DownloadWay* way) {
    for (int i = 0; i < together->count; ++i) {
        Stream& stream = together->streams[i];
        if (!stream.dovel->download.replyIdProven || frame.ID != stream.replyId) {
            continue;
        }
        if (takeDownloadReply(&stream.download, frame.ID) ||
            stream.download.state == STREAM_FAILED) {
            return;
        }
        if (stream.download.state == STREAM_DONE && !stream.lastReplyTaken) {
            stream.lastReplyTaken = true;
            return;
        }
        if (!together->stopping) {
            stopTogether(together, way, stream);
        }
        return;
    }
    ++together->framesOfNone;
}

// The earliest moment a stream waits for (a pause's end, a reply's bound), or -1 when
// none is active. A stream that lets others catch up waits for their replies: some other
// stream's bound is then the earlier.
int64_t nextDueUs(const Together& together) {
    int64_t earliest = -1;
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
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

// Whether the walk has more to do together: streams to run, or, once stopping, replies
// in flight to wait out.
bool moreTogether(const Together& together) {
    for (int i = 0; i < together.count; ++i) {
        const DownloadStream& download = together.streams[i].download;
        if (together.stopping ? downloadStreamAwaitsReply(download) : active(together.streams[i])) {
            return true;
        }
    }
    return false;
}

void runStreams(Together* together, DownloadWay* way) {
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
        if (!moreTogether(*together)) {
            return;
        }
        const int64_t earliestUs = nextDueUs(*together);
        const int64_t dueUs = earliestUs >= 0
                                  ? earliestUs
                                  : nowUs + static_cast<int64_t>(REPLY_TIMEOUT_MS) * US_PER_MS;
        CanFrame frame{};
        const int32_t result = CAN_Read(&frame);
        if (result == CAN_OK && frame.TYPE == FRAME_TYPE_STANDARD) {
            takeFrame(frame, together, way);
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

enum ProofOutcome {
    PROOF_PASSED,      // one identifier answered each character, once, in step
    PROOF_FAILED,      // another frame came among them or after them
    PROOF_IMAGE_DONE,  // the image ended first: nothing more to pair
    PROOF_NO_REPLY,    // the controller stopped replying, or the link went down
};

// What the proof saw: the identifier that answered, and the first frame that did not
// fit (with noCharacter when no character awaited it).
struct Proof {
    uint32_t replyId;
    int answered;
    bool failed;
    uint32_t strayId;
    bool noCharacter;
};

void noteStray(Proof* proof, uint32_t id, bool noCharacter) {
    if (!proof->failed) {
        proof->failed = true;
        proof->strayId = id;
        proof->noCharacter = noCharacter;
    }
}

// The stream's reply could not be awaited: said as the walk one by one says it.
ProofOutcome proofEnded(Stream* stream, ReplyOutcome replied) {
    failDownloadStream(&stream->download, clockNowUs());
    if (replied == REPLY_LINK_DOWN) {
        stream->dovel->download.linkDown = true;
        printLinkDown(canLinkDown());
    } else if (stream->dovel->download.characters == 0) {
        // Not one character went out: it never answered its start request.
        std::printf("Download FAILED: Dovel %d did not answer its download start\n",
                    stream->dovel->id);
    } else {
        std::printf("Download FAILED: Dovel %d stopped replying\n", stream->dovel->id);
    }
    return PROOF_NO_REPLY;
}

// With nothing else outstanding on the bus, the controller's ready reply and its first
// PROOF_CHARACTERS characters are paced as the walk one by one paces them, by any frame;
// its identifier is the one that answered each of those characters, if one alone did and
// nothing more came in the quiet that follows. Every frame read is taken as the walk one
// by one takes it, so that the stream goes on in step with its controller either way.
ProofOutcome proveStream(Stream* stream, Proof* proof) {
    DownloadStream* download = &stream->download;
    DownloadReport* report = &stream->dovel->download;
    int64_t longestUs = 0;
    CanFrame reply{};
    for (;;) {
        const bool maySend = report->characters < PROOF_CHARACTERS;
        advanceDownloadStream(download, clockNowUs(), maySend);
        if (download->state == STREAM_PAUSING) {
            const int64_t leftUs = download->pauseEndUs - clockNowUs();
            sleepMs(leftUs > 0 ? static_cast<int>((leftUs + US_PER_MS - 1) / US_PER_MS) : 0);
            continue;
        }
        if (download->state == STREAM_DONE) {
            // The reply still owed (to its last character, or its ready reply) is taken
            // here, so that it cannot come into the next controller's proof.
            if (!download->replyTaken) {
                awaitStandardReply(&reply, download->replyDueUs, 0, QUIET_TIMEOUT);
            }
            return PROOF_IMAGE_DONE;
        }
        if (!downloadStreamAwaitsReply(*download)) {
            break;  // its proof characters are answered
        }
        if (report->characters == 1 && proof->answered == 0) {
            // What paced the first character may have been another monitor's frame while
            // this one still erases: its reply has the bound of a ready reply.
            download->replyTimeoutMs = DOWNLOAD_FIRST_REPLY_TIMEOUT_MS;
            download->replyDueUs = download->startUs + report->durationUs +
                                   DOWNLOAD_FIRST_REPLY_TIMEOUT_MS * US_PER_MS;
        }
        const ReplyOutcome replied =
            awaitStandardReply(&reply, download->replyDueUs, download->replyTimeoutMs);
        if (replied != REPLY_STANDARD) {
            return proofEnded(stream, replied);
        }
        if (report->characters > 0) {
            if (proof->answered == 0) {
                proof->replyId = reply.ID;
            } else if (reply.ID != proof->replyId) {
                noteStray(proof, reply.ID, false);
            }
            ++proof->answered;
            longestUs = std::max(longestUs, clockNowUs() - download->startUs - report->durationUs);
        }
        takeDownloadReply(download, reply.ID);
    }
    // A reply still owed (one it got ahead by) or a source of its own shows in the quiet.
    const int64_t quietEndUs =
        clockNowUs() + std::max(PROOF_QUIET_MIN_US, PROOF_QUIET_FACTOR * longestUs);
    for (;;) {
        const ReplyOutcome heard = awaitStandardReply(&reply, quietEndUs, 0, QUIET_TIMEOUT);
        if (heard == REPLY_LINK_DOWN) {
            return proofEnded(stream, heard);
        }
        if (heard != REPLY_STANDARD) {
            break;
        }
        noteStray(proof, reply.ID, true);
    }
    return proof->failed ? PROOF_FAILED : PROOF_PASSED;
}

// The index of an earlier started controller whose replies carry this identifier, or -1.
int repeatOf(const Together& together, uint32_t replyId) {
    for (int i = 0; i < together.count; ++i) {
        if (together.streams[i].replyId == replyId &&
            together.streams[i].download.state != STREAM_DONE) {
            return i;
        }
    }
    return -1;
}

// Starts the controller's download and proves its identifier. True when the walk goes
// on together with it (it joins together->streams); false when it failed, or when the
// walk goes on one by one from here (way says why; it joins the streams all the same).
bool startAndProve(DovelOutcome* dovel, const ImageBytes* image, Together* together,
                   DownloadWay* way) {
    Stream& stream = together->streams[together->count];
    stream = Stream{};
    stream.dovel = dovel;
    std::printf("Dovel %d: starting its download...", dovel->id);
    std::fflush(stdout);
    startDownloadStream(&stream.download, dovel->id, ImageSource{nullptr, image}, &dovel->download);
    Proof proof{};
    switch (proveStream(&stream, &proof)) {
        case PROOF_NO_REPLY:
            together->linkDown = dovel->download.linkDown;
            return !together->linkDown;
        case PROOF_IMAGE_DONE:
            ++together->count;
            std::printf("[OK] the whole image is sent\n");
            return true;
        case PROOF_FAILED:
            ++together->count;
            way->unprovenId = dovel->id;
            way->replyId = proof.strayId;
            std::printf(proof.noCharacter
                            ? "[OK] but a frame of 0x%03X came with no character awaiting it\n"
                            : "[OK] but a frame of 0x%03X came among its replies\n",
                        proof.strayId);
            std::printf(
                "The replies of Dovel %d are not proven its own: the downloads go on one by "
                "one\n",
                dovel->id);
            return false;
        case PROOF_PASSED:
            break;
    }
    stream.replyId = proof.replyId;
    dovel->download.replyIdProven = true;
    dovel->download.replyId = proof.replyId;
    ++together->count;
    const int repeated = repeatOf(*together, proof.replyId);
    if (repeated >= 0 && repeated != together->count - 1) {
        way->repeatingId = dovel->id;
        way->repeatedId = together->streams[repeated].dovel->id;
        way->replyId = proof.replyId;
        std::printf("[OK] but its replies carry 0x%03X as Dovel %d's do\n", proof.replyId,
                    way->repeatedId);
        std::printf(
            "The replies of Dovel %d and Dovel %d cannot be told apart: the downloads go on "
            "one by one\n",
            way->repeatedId, way->repeatingId);
        return false;
    }
    std::printf("[OK] its replies carry 0x%03X\n", proof.replyId);
    return true;
}

// Every started download goes on alone from where it is, in order, each with its pause
// after it; then the rest as the walk one by one runs them.
void goOnOneByOne(const Together& together, int next, const ImageBytes* image,
                  UpdateOutcome* outcome) {
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
        if (!active(stream)) {
            continue;
        }
        std::printf("\n\nDownloading firmware to Dovel %d\n", stream.dovel->id);
        DownloadStream download = stream.download;
        stream.dovel->downloaded = continueDownloadAlone(&download) == 0;
        sleepMs(AFTER_DOWNLOAD_WAIT_MS);
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
}

void reportTogether(const Together& together) {
    for (int i = 0; i < together.count; ++i) {
        const Stream& stream = together.streams[i];
        if (stream.download.state == STREAM_DONE) {
            stream.dovel->downloaded = true;
            std::printf("Dovel %d: Download complete!\n", stream.dovel->id);
        } else if (stream.download.state == STREAM_FAILED) {
            std::printf("Dovel %d: download stopped at %d%%\n", stream.dovel->id,
                        stream.dovel->download.percent);
        }
    }
}

}  // namespace

void runDownloadsTogether(const ImageBytes* image, UpdateOutcome* outcome) {
    Together together{};
    together.progressChanged = true;  // the line shows from the first line's pause on
    DownloadWay* way = &outcome->download;
    std::printf("\n\nDownloading firmware to the Dovels together\n");
    int next = 0;
    bool stillTogether = true;
    while (next < DOVEL_COUNT && stillTogether && !together.linkDown) {
        DovelOutcome* dovel = &outcome->dovels[next++];
        if (dovel->leftOut) {
            continue;  // nothing is written to it, its replies are paired with nothing
        }
        stillTogether = startAndProve(dovel, image, &together, way);
    }
    if (together.linkDown) {
        // Nothing more reaches a controller: no more start requests, the link named once.
        for (int i = 0; i < together.count; ++i) {
            failStream(&together.streams[i], true);
        }
        reportTogether(together);
        return;
    }
    if (!stillTogether) {
        goOnOneByOne(together, next, image, outcome);
        return;
    }

    way->startedTogether = together.count;
    if (together.count > 0) {
        runStreams(&together, way);
        std::printf("\n");
    }
    way->framesOfNone = together.framesOfNone;
    reportTogether(together);
    if (together.stopping) {
        goOnOneByOne(together, DOVEL_COUNT, image, outcome);
        return;
    }
    sleepMs(AFTER_DOWNLOAD_WAIT_MS);
}

bool downloadFallbackWords(const DownloadWay& way, char* words, size_t size) {
    if (way.mode != DOWNLOAD_TOGETHER) {
        return false;
    }
    if (way.repeatingId != 0) {
        std::snprintf(words, size,
                      "one by one, not together: the replies of Dovel %d and Dovel %d both "
                      "carry 0x%03X",
                      way.repeatedId, way.repeatingId, way.replyId);
    } else if (way.unprovenId != 0) {
        std::snprintf(words, size,
                      "one by one, not together: the replies of Dovel %d were not proven its "
                      "own (a frame of 0x%03X)",
                      way.unprovenId, way.replyId);
    } else if (way.contradictedId != 0) {
        std::snprintf(words, size,
                      "then one by one: a frame of 0x%03X, Dovel %d's replies, came with no "
                      "reply awaited",
                      way.replyId, way.contradictedId);
    } else {
        return false;
    }
    return true;
}

void printDownloadWay(const UpdateOutcome& outcome) {
    const DownloadWay& way = outcome.download;
    if (way.mode != DOWNLOAD_TOGETHER) {
        return;
    }
    char fallback[DOWNLOAD_FALLBACK_WORDS_SIZE];
    const bool fellBack = downloadFallbackWords(way, fallback, sizeof fallback);
    if (fellBack && way.contradictedId == 0) {
        std::printf("Downloads: %s\n", fallback);  // none ran together
        return;
    }
    std::printf("Downloads: together (%d of %d)", way.startedTogether, namedDovelCount(outcome));
    if (way.framesOfNone > 0) {
        std::printf(", %ld frame%s of no Dovel ignored", way.framesOfNone,
                    way.framesOfNone == 1 ? "" : "s");
    }
    if (fellBack) {
        std::printf("; %s", fallback);
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
