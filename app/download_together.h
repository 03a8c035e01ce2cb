// The download walk of DOVEL_DOWNLOAD=together: the controllers' downloads at once, each
// paced by the replies that carry its own identifier, and what the summary says of it.
#pragma once

#include <cstddef>

#include "app/update_walks.h"

// Starts each controller in turn and takes the identifier of its ready reply; when every
// one is its own, streams the image into them at once, else one after another from their
// ready replies and the rest one by one. Fills each controller's download result and
// outcome->download; ends with the walk's one AFTER_DOWNLOAD_WAIT_MS pause.
void runDownloadsTogether(const ImageBytes* image, UpdateOutcome* outcome);

// The summary's line on the way the downloads ran; nothing when they ran one by one as
// asked.
void printDownloadWay(const UpdateOutcome& outcome);

// Why downloads asked together did not all run together, in the summary's words ("one by
// one, not together: ..."); false when they did, or were not asked together.
constexpr size_t DOWNLOAD_FALLBACK_WORDS_SIZE = 160;

bool downloadFallbackWords(const DownloadWay& way, char* words, size_t size);

// The advice for a controller that stopped replying in a download together.
void printDownloadWayAdvice(const UpdateOutcome& outcome);
