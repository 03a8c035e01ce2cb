// What the kernel tells about a network interface before the socketcan backend binds
// to it: its hardware type, whether it is up, and the bit rate a CAN controller was
// given with `ip link set IFACE type can bitrate N`.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SOCKETCAN_LINK_KIND_SIZE = 16;

struct SocketcanLinkState {
    unsigned type;     // ARPHRD_* of the interface; ARPHRD_CAN for every CAN interface
    unsigned flags;    // IFF_* flags
    uint32_t bitrate;  // bit/s, 0 when the kernel reports none (virtual CAN, not configured)
    char kind[SOCKETCAN_LINK_KIND_SIZE];  // the link kind, "can" or "vcan" for CAN, or ""
};

// Asks the kernel over a route netlink socket about the interface with this index.
// 0, or the errno value that explains the failure.
int socketcanQueryLink(unsigned index, SocketcanLinkState* state);

// Reads the kernel's answer to that question: 0 with *state filled; the kernel's
// errno value when it answered with an error; EBADMSG when the bytes are no
// well-formed link message.
int socketcanParseLinkMessage(const void* data, size_t length, SocketcanLinkState* state);
