#include "can/socketcan_frames.h"

#include <cctype>
#include <cstring>

namespace {

bool isValidInterfaceName(const char* name) {
    const size_t length = std::strlen(name);
    if (length == 0 || length >= IFNAMSIZ || std::strcmp(name, ".") == 0 ||
        std::strcmp(name, "..") == 0) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '/' || c == ':' || std::isspace(c) || !std::isprint(c)) {
            return false;
        }
    }
    return true;
}

// Controller detail bits (data[1] of a CAN_ERR_CRTL frame) and what they become.
struct ControllerBits {
    uint8_t kernelBits;
    uint8_t statusBit;
};

constexpr ControllerBits CONTROLLER_BITS[] = {
    {CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE, SOCKETCAN_STATUS_ERROR_PASSIVE},
    {CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING, SOCKETCAN_STATUS_ERROR_WARNING},
    {CAN_ERR_CRTL_RX_OVERFLOW, SOCKETCAN_STATUS_RX_OVERFLOW},
    {CAN_ERR_CRTL_TX_OVERFLOW, SOCKETCAN_STATUS_TX_OVERFLOW},
    {CAN_ERR_CRTL_ACTIVE, SOCKETCAN_STATUS_BACK_TO_ACTIVE},
};

constexpr canid_t MAPPED_CLASSES =
    CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_LOSTARB | CAN_ERR_RESTARTED;

constexpr canid_t STANDARD_ID_COUNT = CAN_SFF_MASK + 1;

}  // namespace

int socketcanParseOptions(const char* options, char (&iface)[IFNAMSIZ]) {
    const char* name = (options && *options) ? options : SOCKETCAN_DEFAULT_INTERFACE;
    if (!isValidInterfaceName(name)) {
        return 1;
    }
    std::memset(iface, 0, sizeof iface);
    std::memcpy(iface, name, std::strlen(name));
    return 0;
}

uint8_t socketcanStatusBits(const can_frame& errorFrame) {
    const canid_t classes = errorFrame.can_id & CAN_ERR_MASK;
    uint8_t bits = 0;
    if (classes & CAN_ERR_BUSOFF) {
        bits |= SOCKETCAN_STATUS_BUS_OFF;
    }
    if (classes & CAN_ERR_LOSTARB) {
        bits |= SOCKETCAN_STATUS_LOST_ARBITRATION;
    }
    if (classes & CAN_ERR_RESTARTED) {
        bits |= SOCKETCAN_STATUS_BACK_TO_ACTIVE;
    }
    if (classes & CAN_ERR_CRTL) {
        const uint8_t detail = errorFrame.can_dlc > 1 ? errorFrame.data[1] : 0;
        uint8_t controllerBits = 0;
        for (const ControllerBits& entry : CONTROLLER_BITS) {
            if (detail & entry.kernelBits) {
                controllerBits |= entry.statusBit;
            }
        }
        bits |= controllerBits == 0 ? SOCKETCAN_STATUS_OTHER : controllerBits;
    }
    if (classes & ~MAPPED_CLASSES) {
        bits |= SOCKETCAN_STATUS_OTHER;
    }
    return bits;
}

SocketcanFrameKind socketcanFromKernel(const can_frame& in, CanFrame* out) {
    if (in.can_id & CAN_ERR_FLAG) {
        std::memset(out, 0, sizeof *out);
        out->ID = in.can_id & CAN_ERR_MASK;
        out->TYPE = FRAME_TYPE_STATUS;
        out->LEN = SOCKETCAN_STATUS_LEN;
        out->DATA[SOCKETCAN_STATUS_BYTE] = socketcanStatusBits(in);
        return SOCKETCAN_ERROR_FRAME;
    }
    if (in.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG)) {
        return SOCKETCAN_SKIPPED;
    }
    std::memset(out, 0, sizeof *out);
    out->ID = in.can_id & CAN_SFF_MASK;
    out->TYPE = FRAME_TYPE_STANDARD;
    out->LEN = in.can_dlc > CAN_MAX_DATA ? CAN_MAX_DATA : in.can_dlc;
    std::memcpy(out->DATA, in.data, out->LEN);
    return SOCKETCAN_DATA_FRAME;
}

int socketcanToKernel(const CanFrame& in, can_frame* out) {
    if (in.TYPE != FRAME_TYPE_STANDARD || in.ID > CAN_SFF_MASK || in.LEN > CAN_MAX_DATA) {
        return 1;
    }
    std::memset(out, 0, sizeof *out);
    out->can_id = in.ID;
    out->can_dlc = in.LEN;
    std::memcpy(out->data, in.DATA, in.LEN);
    return 0;
}

int socketcanRangeFilters(uint32_t lowestId, uint32_t highestId,
                          can_filter (&filters)[SOCKETCAN_MAX_RANGE_FILTERS]) {
    if (lowestId > highestId || highestId > CAN_SFF_MASK) {
        return 0;
    }
    // Each block starts at a multiple of its size, so one identifier and mask pair
    // matches it; extended and remote frames fail the flag bits of every mask.
    int count = 0;
    uint32_t id = lowestId;
    while (id <= highestId && count < SOCKETCAN_MAX_RANGE_FILTERS) {
        uint32_t size = 1;
        while (size < STANDARD_ID_COUNT && (id & (2 * size - 1)) == 0 &&
               id + 2 * size - 1 <= highestId) {
            size *= 2;
        }
        filters[count].can_id = id;
        filters[count].can_mask = CAN_EFF_FLAG | CAN_RTR_FLAG | (CAN_SFF_MASK & ~(size - 1));
        ++count;
        id += size;
    }
    return count;
}
