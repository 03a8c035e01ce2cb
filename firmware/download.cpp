#include "firmware/download.h"

#include <cstdio>

#include "can/can_api.h"
#include "can/clock.h"
#include "can/link.h"
#include "firmware/image_reader.h"
#include "protocol/property.h"

namespace {

// Lines of the image, or -1 when it cannot be opened.
int countImageLines(const char* path) {
    ImageReader image{};
    if (openImage(&image, path) != 0) {
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
    return downloadCheckedFirmware(controllerId, path, nullptr, &report);
}

int downloadCheckedFirmware(int controllerId, const char* path, const ImageStamp* checked,
                            DownloadReport* report) {
    *report = DownloadReport{};
    const int lineTotal = countImageLines(path);
    ImageReader image{};
    const bool opened = lineTotal >= 0 && openImage(&image, path) == IMAGE_OPENED;
    if (checked != nullptr && (!opened || !sameImageStamp(&image.stamp, checked))) {
        closeImage(&image);
        std::printf("Download FAILED: the image changed after it was checked\n");
        return DOWNLOAD_IMAGE_CHANGED;
    }
    if (!opened) {
        return 1;
    }

    // A frame still queued (the previous controller's answer to its last character)
    // would otherwise pace this stream one character ahead of its controller.
    discardQueuedFrames();
    CanFrame send = makeSetRequest(controllerId, VERS, DOWNLOAD_START_VALUE);
    CAN_Write(&send);
    report->started = true;
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
            if (awaitStandardReply(&reply, replyDueUs, replyTimeoutMs) != REPLY_STANDARD) {
                closeImage(&image);
                std::printf("\nDownload FAILED: Dovel %d stopped replying\n", controllerId);
                return 1;
            }
            send.DATA[0] = static_cast<uint8_t>(line[FIRST_SENT_POSITION + i]);
            CAN_Write(&send);
            replyDueUs = clockNowUs() + static_cast<int64_t>(REPLY_TIMEOUT_MS) * 1000;
            replyTimeoutMs = REPLY_TIMEOUT_MS;
        }
    }
    closeImage(&image);
    std::printf("\nDownload complete!   ");
    return 0;
}
