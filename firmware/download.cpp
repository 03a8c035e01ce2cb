#include "firmware/download.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/image_reader.h"
#include "protocol/property.h"

namespace {

// Where a download reads the image from: the file at path, opened afresh for each pass,
// or the bytes the file check read.
struct ImageSource {
    const char* path;
    const ImageBytes* image;
};

bool openSource(const ImageSource& source, ImageReader* reader) {
    if (source.image != nullptr) {
        openImageBytes(reader, source.image->bytes.data(), source.image->bytes.size());
        return true;
    }
    return openImage(reader, source.path) == IMAGE_OPENED;
}

// Lines of the image, or -1 when it cannot be opened.
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

// Where a stream begins: afresh with its start request, or behind charactersSent
// characters that the controller has been sent already, its reply to the last of them
// (its ready reply when none) taken.
struct StreamStart {
    bool startRequest;
    int charactersSent;
};

constexpr StreamStart FRESH_STREAM = {true, 0};

int streamImage(int controllerId, const ImageSource& source, const StreamStart& start,
                DownloadReport* report) {
    *report = DownloadReport{};
    const int lineTotal = countImageLines(source);
    ImageReader image{};
    if (lineTotal < 0 || !openSource(source, &image)) {
        return 1;
    }

    // A frame still queued (the previous controller's answer to its last character)
    // would otherwise pace this stream one character ahead of its controller.
    discardQueuedFrames();
    CanFrame send = makeSetRequest(controllerId, VERS, DOWNLOAD_START_VALUE);
    const int64_t startUs = clockNowUs();
    // A stream taken over after its first characters counts them as sent.
    report->characters = start.charactersSent;
    report->started = !start.startRequest || CAN_Write(&send) == CAN_OK;
    bool replyTaken = !start.startRequest;
    int skipped = 0;
    int64_t replyDueUs =
        clockNowUs() + static_cast<int64_t>(DOWNLOAD_FIRST_REPLY_TIMEOUT_MS) * 1000;
    int replyTimeoutMs = DOWNLOAD_FIRST_REPLY_TIMEOUT_MS;
    send.LEN = CHARACTER_FRAME_LEN;

    CanFrame reply{};
    char line[IMAGE_LINE_BUFFER_SIZE];
    int lineNumber = 0;
    while (readImageLine(&image, line, IMAGE_LINE_READ_COUNT)) {
        ++lineNumber;
        report->percent = downloadPercent(lineNumber, lineTotal);
        std::printf("\rDownload progress: %d%%   ", report->percent);
        std::fflush(stdout);
        sleepMs(LINE_PAUSE_MS);
        const int count = sendableCharacterCount(line);
        for (int i = 0; i < count; ++i) {
            if (skipped < start.charactersSent) {
                ++skipped;
                continue;
            }
            const ReplyOutcome replied =
                replyTaken ? REPLY_STANDARD
                           : awaitStandardReply(&reply, replyDueUs, replyTimeoutMs);
            replyTaken = false;
            if (replied != REPLY_STANDARD) {
                closeImage(&image);
                report->durationUs = clockNowUs() - startUs;
                if (replied == REPLY_LINK_DOWN) {
                    report->linkDown = true;
                    const char* down = canLinkDown();
                    std::printf("\nDownload FAILED: the CAN link is down (%s)\n",
                                down != nullptr ? down : "gone");
                } else if (report->characters == 0) {
                    // Not one character went out: it never answered its start request.
                    std::printf("\nDownload FAILED: Dovel %d did not answer its download start\n",
                                controllerId);
                } else {
                    std::printf("\nDownload FAILED: Dovel %d stopped replying\n", controllerId);
                }
                return 1;
            }
            send.DATA[0] = static_cast<uint8_t>(line[FIRST_SENT_POSITION + i]);
            CAN_Write(&send);
            ++report->characters;
            replyDueUs = clockNowUs() + static_cast<int64_t>(REPLY_TIMEOUT_MS) * 1000;
            replyTimeoutMs = REPLY_TIMEOUT_MS;
        }
    }
    closeImage(&image);
    report->durationUs = clockNowUs() - startUs;
    std::printf("\nDownload complete!   ");
    return 0;
}

}  // namespace

int downloadPercent(int lineNumber, int lineTotal) {
    if (lineTotal <= 0 || lineNumber >= lineTotal) {
        return 100;
    }
    if (lineNumber <= 0) {
        return 0;
    }
    return static_cast<int>(lineNumber * 100.0 / lineTotal);
}

int downloadFirmware(int controllerId, const char* path) {
    DownloadReport report{};
    return streamImage(controllerId, ImageSource{path, nullptr}, FRESH_STREAM, &report);
}

int downloadImage(int controllerId, const ImageBytes* image, DownloadReport* report) {
    return streamImage(controllerId, ImageSource{nullptr, image}, FRESH_STREAM, report);
}

int resumeImage(int controllerId, const ImageBytes* image, int charactersSent,
                DownloadReport* report) {
    return streamImage(controllerId, ImageSource{nullptr, image},
                       StreamStart{false, charactersSent}, report);
}

int countImageBytesLines(const ImageBytes* image) {
    return countImageLines(ImageSource{nullptr, image});
}
