// Streaming a firmware image into one controller, one character per frame, paced by any
// frame received: the download one by one.
#pragma once

#include "firmware/download_stream.h"
#include "firmware/image_reader.h"

// 0 when the whole image was streamed; 1 when it could not be opened (nothing sent),
// the controller stopped replying or the link went down (the stream was abandoned).
int downloadFirmware(int controllerId, const char* path);

// downloadFirmware of the image the file check read: the bytes in memory are streamed,
// so the controller receives exactly what was checked. Tells how far it got.
int downloadImage(int controllerId, const ImageBytes* image, DownloadReport* report);

// Runs a stream that was begun elsewhere (with others) on from where it is, alone and
// paced by any received frame, as downloadImage runs its own. Frames still queued are
// dropped first when the stream holds a reply for its next character, since none of
// them can be its controller's reply to a character not yet sent.
int continueDownloadAlone(DownloadStream* stream);
