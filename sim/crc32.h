// The one CRC-32 of the simulated hand (IEEE 802.3, as zlib and `crc32` compute it):
// what the report and VERS tell of a controller's flash, and what guards the state
// file against a torn or edited copy.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC-32 of count bytes following those whose CRC-32 is crc (0 for none), so that
// a long run of bytes can be fed in pieces: simCrc32(simCrc32(0, a, n), b, m) is the
// CRC-32 of a then b.
uint32_t simCrc32(uint32_t crc, const uint8_t* bytes, size_t count);
