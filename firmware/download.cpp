#include "firmware/download.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"

namespace {

constexpr int64_t US_PER_MS = 1000;

void printProgress(int percent) {
    std::printf("\rDownload progress: %d%%   ", percent);
    std::fflush(stdout);
}

// Alone, nothing else needs the time: the pause is slept.
void sleepThroughPause(const DownloadStream& stream) {
    const int64_t leftUs = stream.pauseEndUs - clockNowUs();
    sleepMs(leftUs > 0 ? static_cast<int>((leftUs + US_PER_MS - 1) / US_PER_MS) : 0);
}

// Any frame paces the stream: the one-by-one download relies on nothing else being on
// the bus while it runs.
int runAlone(DownloadStream* stream) {
    CanFrame reply{};
    for (;;) {
        if (advanceDownloadStream(stream, clockNowUs(), true)) {
            printProgress(stream->report->percent);
        }
        if (stream->state == STREAM_PAUSING) {
            sleepThroughPause(*stream);
            continue;
        }
        if (stream->state == STREAM_DONE) {
            stream->report->replyIdProven =
                downloadStreamOneReplyId(*stream, &stream->report->replyId);
            std::printf("\nDownload complete!   ");
            return 0;
        }
        const ReplyOutcome replied =
            awaitStandardReply(&reply, stream->replyDueUs, stream->replyTimeoutMs);
        if (replied == REPLY_STANDARD) {
            takeDownloadReply(stream, reply.ID);
            continue;
        }
        failDownloadStream(stream, clockNowUs());
        if (replied == REPLY_LINK_DOWN) {
            stream->report->linkDown = true;
            const char* down = canLinkDown();
            std::printf("\nDownload FAILED: the CAN link is down (%s)\n",
                        down != nullptr ? down : "gone");
        } else if (stream->report->characters == 0) {
            // Not one character went out: it never answered its start request.
            std::printf("\nDownload FAILED: Dovel %d did not answer its download start\n",
                        stream->controllerId);
        } else {
            std::printf("\nDownload FAILED: Dovel %d stopped replying\n", stream->controllerId);
        }
        return 1;
    }
}

int downloadFrom(int controllerId, const ImageSource& source, DownloadReport* report) {
    DownloadStream stream{};
    if (startDownloadStream(&stream, controllerId, source, report) != 0) {
        return 1;
    }
    return runAlone(&stream);
}

}  // namespace

int downloadFirmware(int controllerId, const char* path) {
    DownloadReport report{};
    return downloadFrom(controllerId, ImageSource{path, nullptr}, &report);
}

int downloadImage(int controllerId, const ImageBytes* image, DownloadReport* report) {
    return downloadFrom(controllerId, ImageSource{nullptr, image}, report);
}

int continueDownloadAlone(DownloadStream* stream) {
    if (!downloadStreamRunning(*stream)) {
        return stream->state == STREAM_DONE ? 0 : 1;
    }
    if (stream->replyTaken) {
        discardQueuedFrames();
    }
    if (stream->lineNumber > 0) {
        printProgress(stream->report->percent);
    }
    return runAlone(stream);
}
