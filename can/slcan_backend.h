// The adapter operations over a serial-line CAN adapter (DOVEL_CAN=slcan:PORT[@BAUD]):
// a USB-to-CAN adapter that shows itself as a serial port (/dev/ttyACM0 on Linux, COM5
// on Windows) and speaks the slcan protocol (can/slcan_protocol.h). The utility speaks
// it itself: no SocketCAN, no root, no adapter library. BAUD (default 115200) is the
// serial line's rate, which USB adapters ignore; the CAN bus runs at 1 Mbit/s.
//
// CAN_Init opens the port for this run alone, clears any half-written command with a
// few CRs, then closes the channel ("C"), sets 1 Mbit/s ("S8"), turns time stamps off
// ("Z0") and opens the channel ("O"). A BEL to "C" or "Z0" is taken (adapters refuse
// them on a closed channel or do not offer them); a BEL to "S8" or "O" fails it. The
// filter of CAN_MsgFilter is applied here, in software. While reading, the status
// flags are asked ("F") at most every SLCAN_STATUS_POLL_MS and, when they are set and
// differ from the last answer, read as a status record (can/slcan_protocol.h).
//
// Results: 0 success, RX_QUEUE_EMPTY (32) from CAN_Read when nothing is queued, and
// these codes of the backend's own (each failure also prints a line naming the port
// and the reason on standard error):
//
//   code     name                     returned by        when
//   0x50001  SLCAN_ERR_UNSUPPORTED    Init, MsgFilter    a bit timing other than 1 Mbit/s
//                                                        or a frame type other than standard
//   0x50002  SLCAN_ERR_NO_PORT        Init               no such port
//   0x50003  SLCAN_ERR_PORT_BUSY      Init               another program holds the port
//   0x50004  SLCAN_ERR_ATTACHED       Init               slcand attached the port to SocketCAN
//   0x50005  SLCAN_ERR_PORT           Init               the port cannot be opened or set up
//   0x50006  SLCAN_ERR_NO_ANSWER      Init               a start-up command got no answer
//   0x50007  SLCAN_ERR_REFUSED        Init, Read         the adapter answered BEL to "S8" or
//                                                        "O", or to a frame written
//   0x50008  SLCAN_ERR_NOT_OPEN       all but Init       no successful Init yet
//   0x50009  SLCAN_ERR_PORT_GONE      all                the port is gone (adapter unplugged)
//   0x5000A  SLCAN_ERR_WRITE          Write              the frame could not be written
//   0x5000B  SLCAN_ERR_BAD_FRAME      Write              the record is no standard frame with
//                                                        an 11-bit ID and at most 8 bytes
//   0x5000C  SLCAN_ERR_FILTER         MsgFilter          the range is empty or beyond 11 bits
//   0x5000D  SLCAN_ERR_PROTOCOL       Read               a line that is no answer of the
//                                                        protocol, or longer than any
#pragma once

#include <cstdint>
#include <string>

#include "can/can_backend.h"

constexpr int32_t SLCAN_ERR_UNSUPPORTED = 0x50001;
constexpr int32_t SLCAN_ERR_NO_PORT = 0x50002;
constexpr int32_t SLCAN_ERR_PORT_BUSY = 0x50003;
constexpr int32_t SLCAN_ERR_ATTACHED = 0x50004;
constexpr int32_t SLCAN_ERR_PORT = 0x50005;
constexpr int32_t SLCAN_ERR_NO_ANSWER = 0x50006;
constexpr int32_t SLCAN_ERR_REFUSED = 0x50007;
constexpr int32_t SLCAN_ERR_NOT_OPEN = 0x50008;
constexpr int32_t SLCAN_ERR_PORT_GONE = 0x50009;
constexpr int32_t SLCAN_ERR_WRITE = 0x5000A;
constexpr int32_t SLCAN_ERR_BAD_FRAME = 0x5000B;
constexpr int32_t SLCAN_ERR_FILTER = 0x5000C;
constexpr int32_t SLCAN_ERR_PROTOCOL = 0x5000D;

// How often the status flags are asked at most.
constexpr int SLCAN_STATUS_POLL_MS = 100;
// How long a start-up command waits for its answer.
constexpr int SLCAN_ANSWER_TIMEOUT_MS = 500;

// The backend for the port in options, or nullptr after a line on standard error when
// the options are no PORT[@BAUD]. The port is opened at CAN_Init.
const CanBackend* slcanOpenBackend(const char* options);

// The port is the bus: shown by the name given, locked by the device it stands for.
void slcanNameBus(const char* options, BusName* bus);

// Whether options are a PORT[@BAUD]: 0, or 1 with *problem saying what they take.
int slcanCheckOptions(const char* options, std::string* problem);
