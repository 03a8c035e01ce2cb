// One controller's download as a stream: its image reader, the line it is on, the
// character it sends next, the line pause and the bound of the reply it awaits. The
// stream is advanced by the time and by the replies handed to it, and sends its own
// frames; who hands it which frame, and when it may send, is its walk's matter.
#pragma once

#include <cstdint>

#include "can/can_frame.h"
#include "firmware/image_reader.h"

// The start request: a set of VERS with this value.
constexpr int32_t DOWNLOAD_START_VALUE = 0xAA;
constexpr int CHARACTER_FRAME_LEN = 1;
constexpr int LINE_PAUSE_MS = 1;
// A controller erases its flash between the start request and its first reply, which
// can take seconds on real hardware: that one reply has this bound, every later one
// the link's REPLY_TIMEOUT_MS.
constexpr int DOWNLOAD_FIRST_REPLY_TIMEOUT_MS = 30000;

// How far one download got. A running stream keeps it current, so that it can be read
// at any moment while the stream runs.
struct DownloadReport {
    bool started;          // the start request was sent
    int percent;           // the last percentage shown
    bool linkDown;         // the stream ended because the CAN link is gone or down
    long long characters;  // character frames sent
    int64_t durationUs;    // from the start request to the last character or the failure
    // The one identifier that answered its characters, one frame for each, with no other
    // frame among them: the controller's own, proven (can/reply_owners.h).
    bool replyIdProven;
    uint32_t replyId;
};

// Where a download reads the image from: the file at path, or the bytes the file check
// read (then path is not used).
struct ImageSource {
    const char* path;
    const ImageBytes* image;
};

enum DownloadStreamState {
    STREAM_PAUSING,  // in a line's pause, until pauseEndUs
    STREAM_SENDING,  // its next character goes out once a reply is taken for it
    STREAM_DONE,     // the last character is sent
    STREAM_FAILED,   // its walk gave it up
};

struct DownloadStream {
    int controllerId;
    DownloadReport* report;
    ImageReader reader;
    char line[IMAGE_LINE_BUFFER_SIZE];
    int lineTotal;
    int lineNumber;
    int count;  // characters of the line that are sent
    int next;   // the next of them
    // A reply has been taken that no character has answered yet: the ready reply, or the
    // reply to the last character sent.
    bool replyTaken;
    int64_t startUs;
    int64_t pauseEndUs;
    int64_t replyDueUs;  // the bound of the awaited reply
    int replyTimeoutMs;  // that bound, as a length
    DownloadStreamState state;
    // The replies taken for its characters (the ready reply is not one of them): the
    // identifier of the first, and whether another identifier came among them.
    long long characterReplies;
    uint32_t characterReplyId;
    bool otherReplyId;
};

// Opens the image (counting its lines first), drops the frames already queued (so that
// none of them paces the stream) and sends the start request. 0; or 1 when the image
// cannot be opened, with nothing sent.
int startDownloadStream(DownloadStream* stream, int controllerId, const ImageSource& source,
                        DownloadReport* report);

// Takes the stream as far as it goes at nowUs without another reply: through line
// reads, the pause of each line and, when maySend, one character if a reply is taken
// for it. True when a line began, its percentage now in report->percent: the stream
// is then in that line's pause.
bool advanceDownloadStream(DownloadStream* stream, int64_t nowUs, bool maySend);

// The stream waits for a reply (its next character is ready, or the line's pause runs
// and a reply is still owed).
bool downloadStreamAwaitsReply(const DownloadStream& stream);

// A frame of identifier replyId handed to the stream as its reply. True when one was
// awaited; a frame more is no second go-ahead, and false.
bool takeDownloadReply(DownloadStream* stream, uint32_t replyId);

// Once the stream is done: whether one identifier answered every character it awaited a
// reply for, in *replyId.
bool downloadStreamOneReplyId(const DownloadStream& stream, uint32_t* replyId);

// Its walk gives the stream up at nowUs.
void failDownloadStream(DownloadStream* stream, int64_t nowUs);

bool downloadStreamRunning(const DownloadStream& stream);

// Lines of the image as a download reads them, or -1 when it cannot be opened.
int countImageLines(const ImageSource& source);

// Percentage shown for a line of the image, kept within 0 to 100 also when the file
// changed between the counting pass and the streaming pass.
int downloadPercent(int lineNumber, int lineTotal);
