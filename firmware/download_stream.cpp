#include "firmware/download_stream.h"

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "protocol/property.h"

namespace {

constexpr int64_t US_PER_MS = 1000;

bool openSource(const ImageSource& source, ImageReader* reader) {
    if (source.image != nullptr) {
        openImageBytes(reader, source.image->bytes.data(), source.image->bytes.size());
        return true;
    }
    return openImage(reader, source.path) == IMAGE_OPENED;
}

void endStream(DownloadStream* stream, DownloadStreamState state, int64_t nowUs) {
    stream->state = state;
    closeImage(&stream->reader);
    stream->report->durationUs = nowUs - stream->startUs;
}

}  // namespace

int countImageLines(const ImageSource& source) {
    ImageReader image{};
    if (!openSource(source, &image)) {
        return -1;
    }
    char line[IMAGE_LINE_BUFFER_SIZE];
    int lines = 0;
    while (readImageLine(&image, line, IMAGE_LINE_READ_COUNT)) {
        ++lines;
    }
    closeImage(&image);
    return lines;
}

int downloadPercent(int lineNumber, int lineTotal) {
    if (lineTotal <= 0 || lineNumber >= lineTotal) {
        return 100;
    }
    if (lineNumber <= 0) {
        return 0;
    }
    return static_cast<int>(lineNumber * 100.0 / lineTotal);
}

int startDownloadStream(DownloadStream* stream, int controllerId, const ImageSource& source,
                        DownloadReport* report) {
    *stream = DownloadStream{};
    *report = DownloadReport{};
    stream->controllerId = controllerId;
    stream->report = report;
    stream->lineTotal = countImageLines(source);
    if (stream->lineTotal < 0 || !openSource(source, &stream->reader)) {
        stream->state = STREAM_FAILED;
        return 1;
    }
    // A frame still queued (the previous controller's answer to its last character)
    // would otherwise pace this stream one character ahead of its controller.
    discardQueuedFrames();
    const CanFrame start = makeSetRequest(controllerId, VERS, DOWNLOAD_START_VALUE);
    stream->startUs = clockNowUs();
    report->started = CAN_Write(&start) == CAN_OK;
    stream->replyTimeoutMs = DOWNLOAD_FIRST_REPLY_TIMEOUT_MS;
    stream->replyDueUs = clockNowUs() + DOWNLOAD_FIRST_REPLY_TIMEOUT_MS * US_PER_MS;
    stream->state = STREAM_SENDING;
    return 0;
}

bool advanceDownloadStream(DownloadStream* stream, int64_t nowUs, bool maySend) {
    for (;;) {
        if (stream->state == STREAM_PAUSING) {
            if (nowUs < stream->pauseEndUs) {
                return false;
            }
            stream->state = STREAM_SENDING;
        }
        if (stream->state != STREAM_SENDING) {
            return false;
        }
        if (stream->next >= stream->count) {
            if (!readImageLine(&stream->reader, stream->line, IMAGE_LINE_READ_COUNT)) {
                endStream(stream, STREAM_DONE, nowUs);
                return false;
            }
            ++stream->lineNumber;
            stream->report->percent = downloadPercent(stream->lineNumber, stream->lineTotal);
            stream->count = sendableCharacterCount(stream->line);
            stream->next = 0;
            stream->state = STREAM_PAUSING;
            stream->pauseEndUs = nowUs + LINE_PAUSE_MS * US_PER_MS;
            return true;
        }
        if (!stream->replyTaken || !maySend) {
            return false;
        }
        CanFrame send{};
        send.ID = static_cast<uint32_t>(stream->controllerId);
        send.TYPE = FRAME_TYPE_STANDARD;
        send.LEN = CHARACTER_FRAME_LEN;
        send.DATA[0] = static_cast<uint8_t>(stream->line[FIRST_SENT_POSITION + stream->next]);
        CAN_Write(&send);
        stream->replyTaken = false;
        ++stream->next;
        ++stream->report->characters;
        stream->report->durationUs = nowUs - stream->startUs;
        stream->replyTimeoutMs = REPLY_TIMEOUT_MS;
        stream->replyDueUs = nowUs + REPLY_TIMEOUT_MS * US_PER_MS;
        // One character per reply: what follows is at most the next line's start.
        maySend = false;
    }
}

bool downloadStreamAwaitsReply(const DownloadStream& stream) {
    return downloadStreamRunning(stream) && !stream.replyTaken;
}

bool takeDownloadReply(DownloadStream* stream, uint32_t replyId) {
    if (!downloadStreamAwaitsReply(*stream)) {
        return false;
    }
    stream->replyTaken = true;
    if (stream->report->characters > 0) {
        if (stream->characterReplies == 0) {
            stream->characterReplyId = replyId;
        }
        stream->otherReplyId |= replyId != stream->characterReplyId;
        ++stream->characterReplies;
    }
    return true;
}

bool downloadStreamOneReplyId(const DownloadStream& stream, uint32_t* replyId) {
    *replyId = stream.characterReplyId;
    return stream.state == STREAM_DONE && stream.characterReplies > 0 && !stream.otherReplyId;
}

void failDownloadStream(DownloadStream* stream, int64_t nowUs) {
    if (downloadStreamRunning(*stream)) {
        endStream(stream, STREAM_FAILED, nowUs);
    }
}

bool downloadStreamRunning(const DownloadStream& stream) {
    return stream.state == STREAM_SENDING || stream.state == STREAM_PAUSING;
}
