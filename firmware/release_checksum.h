// The release's own word on which image it is: the SHA-256 that a file beside the image
// (as sha256sum, shasum or BSD sha256 write it) or the operator gives, compared with the image's.
#pragma once

#include <cstdint>

// A hash given by hand, 64 hex digits of either case (the run's settings read it).
constexpr const char* IMAGE_SHA256_VARIABLE = "DOVEL_IMAGE_SHA256";
// IMAGE.sha256 beside IMAGE.
constexpr const char* RELEASE_CHECKSUM_FILE_SUFFIX = ".sha256";
// Release tools write 64 hex digits and a name a line: a larger file is
// no checksum file, and is refused before it is read.
constexpr int64_t RELEASE_CHECKSUM_FILE_MAX_BYTES = 64 * 1024;
// Room for both hashes and a file name in full.
constexpr int RELEASE_CHECKSUM_PROBLEM_SIZE = 512;
constexpr int RELEASE_CHECKSUM_SOURCE_SIZE = 320;

// The verdict of checkReleaseChecksum.
constexpr int RELEASE_CHECKSUM_PASSED = 0;   // every hash given matches, or none is given
constexpr int RELEASE_CHECKSUM_REFUSED = 1;  // the problem says why

struct ReleaseChecksum {
    // What the image's hash was compared with, for the summary once it passed:
    // "dovel2.tek.sha256", "DOVEL_IMAGE_SHA256", the two joined by " and ", or empty when
    // the release gives no hash.
    char checkedAgainst[RELEASE_CHECKSUM_SOURCE_SIZE];
    // "the image's sha256 is 9f86..., dovel2.tek.sha256 says 0123..." (both in full),
    // "dovel2.tek.sha256 names another file (other.tek)",
    // "dovel2.tek.sha256 cannot be read: Is a directory",
    // "DOVEL_IMAGE_SHA256 is not 64 hex digits"
    char problem[RELEASE_CHECKSUM_PROBLEM_SIZE];
};

// Compares imageSha256Hex, the image's hash as sha256Hex writes it, with the hash in
// imagePath's ".sha256" file and with givenSha256 (DOVEL_IMAGE_SHA256; nullptr or "":
// none given), where they are given.
int checkReleaseChecksum(const char* imagePath, const char* imageSha256Hex, const char* givenSha256,
                         ReleaseChecksum* check);
