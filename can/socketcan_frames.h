// The socketcan backend's pure parts: its options, the conversion between kernel
// frames and CanFrame records, the status bits made from error frames, and the
// kernel receive filters for an identifier range. Nothing here touches a socket.
#pragma once

#include <linux/can.h>
#include <linux/can/error.h>
#include <net/if.h>

#include <cstdint>

#include "can/can_frame.h"

constexpr const char* SOCKETCAN_DEFAULT_INTERFACE = "can0";

// Reads the backend options, which name the interface ("" for the default), into
// iface. 0, or 1 when the text is no valid interface name (empty after the colon is
// the default; longer than IFNAMSIZ - 1, ".", "..", or holding '/', ':' or blanks is
// not valid).
int socketcanParseOptions(const char* options, char (&iface)[IFNAMSIZ]);

// Status records: a kernel error frame becomes a CanFrame with TYPE
// FRAME_TYPE_STATUS, ID holding the kernel's error class bits (CAN_ERR_* of the
// identifier), LEN 4, DATA[3] the bits below and every other data byte 0.
//
//   DATA[3] bit  name                                 set when the error frame reports
//   0x01         SOCKETCAN_STATUS_BUS_OFF             bus-off (CAN_ERR_BUSOFF)
//   0x02         SOCKETCAN_STATUS_ERROR_PASSIVE       controller error-passive, receive or send
//   0x04         SOCKETCAN_STATUS_ERROR_WARNING       controller error-warning, receive or send
//   0x08         SOCKETCAN_STATUS_RX_OVERFLOW         controller receive buffer overflow
//   0x10         SOCKETCAN_STATUS_TX_OVERFLOW         controller transmit buffer overflow
//   0x20         SOCKETCAN_STATUS_LOST_ARBITRATION    lost arbitration (CAN_ERR_LOSTARB)
//   0x40         SOCKETCAN_STATUS_BACK_TO_ACTIVE      controller error-active again, or restarted
//                                                     after bus-off (CAN_ERR_RESTARTED)
//   0x80         SOCKETCAN_STATUS_OTHER               any other error class, or a controller
//                                                     problem without detail
constexpr uint8_t SOCKETCAN_STATUS_BUS_OFF = 0x01;
constexpr uint8_t SOCKETCAN_STATUS_ERROR_PASSIVE = 0x02;
constexpr uint8_t SOCKETCAN_STATUS_ERROR_WARNING = 0x04;
constexpr uint8_t SOCKETCAN_STATUS_RX_OVERFLOW = 0x08;
constexpr uint8_t SOCKETCAN_STATUS_TX_OVERFLOW = 0x10;
constexpr uint8_t SOCKETCAN_STATUS_LOST_ARBITRATION = 0x20;
constexpr uint8_t SOCKETCAN_STATUS_BACK_TO_ACTIVE = 0x40;
constexpr uint8_t SOCKETCAN_STATUS_OTHER = 0x80;

constexpr uint8_t SOCKETCAN_STATUS_LEN = 4;
constexpr int SOCKETCAN_STATUS_BYTE = 3;

// The error classes the backend asks the kernel for (CAN_RAW_ERR_FILTER); the others
// never reach the receive queue.
constexpr can_err_mask_t SOCKETCAN_REPORTED_ERRORS =
    CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_LOSTARB | CAN_ERR_RESTARTED;

// The DATA[3] bits for one kernel error frame.
uint8_t socketcanStatusBits(const can_frame& errorFrame);

enum SocketcanFrameKind {
    SOCKETCAN_DATA_FRAME,   // a standard data frame, now a TYPE 0 record
    SOCKETCAN_ERROR_FRAME,  // an error frame, now a status record
    SOCKETCAN_SKIPPED,      // an extended or remote frame: nothing for the utility
};

// Fills *out from a received kernel frame, unless the frame is skipped.
SocketcanFrameKind socketcanFromKernel(const can_frame& in, CanFrame* out);

// Builds the kernel frame for a record to send: 0, or 1 when the record is no
// standard frame with an 11-bit ID and at most 8 data bytes.
int socketcanToKernel(const CanFrame& in, can_frame* out);

// An identifier range cut into aligned blocks takes at most two blocks per bit.
constexpr int SOCKETCAN_STANDARD_ID_BITS = 11;
constexpr int SOCKETCAN_MAX_RANGE_FILTERS = 2 * SOCKETCAN_STANDARD_ID_BITS;

// Kernel filters that together pass exactly the standard data frames with IDs from
// lowestId to highestId. Returns how many it wrote, 0 for a range that is empty or
// reaches beyond 11 bits.
int socketcanRangeFilters(uint32_t lowestId, uint32_t highestId,
                          can_filter (&filters)[SOCKETCAN_MAX_RANGE_FILTERS]);
