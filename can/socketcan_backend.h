// The adapter operations over a Linux SocketCAN interface (DOVEL_CAN=socketcan[:IFACE],
// default can0). The interface's bit rate belongs to the system, not to this program:
//   ip link set can0 up type can bitrate 1000000
//
// Results: 0 success, RX_QUEUE_EMPTY (32) from CAN_Read when nothing is queued, and
// these codes of the backend's own (each failure also prints a line naming the
// interface and the system's reason on standard error):
//
//   code     name                          returned by        when
//   0x30001  SOCKETCAN_ERR_UNSUPPORTED     Init, MsgFilter    a bit timing other than 1 Mbit/s
//                                                             or a frame type other than standard
//   0x30002  SOCKETCAN_ERR_NO_INTERFACE    Init               no interface of that name
//   0x30003  SOCKETCAN_ERR_NOT_CAN         Init               the interface is no CAN interface
//   0x30004  SOCKETCAN_ERR_INTERFACE_DOWN  Init               the interface is down
//   0x30005  SOCKETCAN_ERR_BITRATE         Init               the kernel reports a bit rate other
//                                                             than 1 Mbit/s for the interface
//   0x30006  SOCKETCAN_ERR_SOCKET          Init               the CAN socket cannot be opened,
//                                                             set up or bound (e.g. a kernel
//                                                             without CAN support)
//   0x30007  SOCKETCAN_ERR_NOT_OPEN        all but Init       no successful Init yet
//   0x30008  SOCKETCAN_ERR_READ            Read, ResetClient  the socket reports an error, such
//                                                             as the interface going down
//   0x30009  SOCKETCAN_ERR_WRITE           Write              the frame could not be sent, also
//                                                             when the transmit queue stayed full
//                                                             for SOCKETCAN_WRITE_RETRY_MS
//   0x3000A  SOCKETCAN_ERR_BAD_FRAME       Write              the record is no standard frame with
//                                                             an 11-bit ID and at most 8 bytes
//   0x3000B  SOCKETCAN_ERR_FILTER          MsgFilter          the range is empty or beyond 11
//                                                             bits, or the kernel refused it
//
// Error frames (bus-off, controller problems, lost arbitration, restarts) arrive
// through CAN_Read as status records; can/socketcan_frames.h documents their DATA[3].
#pragma once

#include <cstdint>

#include "can/can_backend.h"

constexpr int32_t SOCKETCAN_ERR_UNSUPPORTED = 0x30001;
constexpr int32_t SOCKETCAN_ERR_NO_INTERFACE = 0x30002;
constexpr int32_t SOCKETCAN_ERR_NOT_CAN = 0x30003;
constexpr int32_t SOCKETCAN_ERR_INTERFACE_DOWN = 0x30004;
constexpr int32_t SOCKETCAN_ERR_BITRATE = 0x30005;
constexpr int32_t SOCKETCAN_ERR_SOCKET = 0x30006;
constexpr int32_t SOCKETCAN_ERR_NOT_OPEN = 0x30007;
constexpr int32_t SOCKETCAN_ERR_READ = 0x30008;
constexpr int32_t SOCKETCAN_ERR_WRITE = 0x30009;
constexpr int32_t SOCKETCAN_ERR_BAD_FRAME = 0x3000A;
constexpr int32_t SOCKETCAN_ERR_FILTER = 0x3000B;

// The bit rate the controllers' bus runs at.
constexpr uint32_t SOCKETCAN_REQUIRED_BITRATE = 1000000;

// How long a write keeps trying while the kernel's transmit queue is full.
constexpr int SOCKETCAN_WRITE_RETRY_MS = 100;

// Frames that one CAN_ResetClient drops at most, so that a busy bus cannot hold it.
constexpr int SOCKETCAN_RESET_DISCARD_LIMIT = 4096;

// The backend for the interface named in options ("" for can0), or nullptr after a
// line on standard error when options is no interface name. Opening it again, for
// the same interface or another, closes the socket of the earlier one.
const CanBackend* socketcanOpenBackend(const char* options);

// The interface is the bus: shown by the name given, locked machine-wide by its index
// as "socketcan-ifindex-N", whichever of its names is given; the link binds that same
// index. A name that stands for no interface names no lock (the start-up fails).
void socketcanNameBus(const char* options, BusName* bus);

// Whether options name an interface as the kernel spells one (1 to IFNAMSIZ - 1
// characters, no '/', ':' or white space): 0, or 1 with *problem saying what it takes.
int socketcanCheckOptions(const char* options, std::string* problem);
