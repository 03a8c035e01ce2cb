#include "can/socketcan_link.h"

#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Large enough for one link message with all its statistics.
constexpr size_t LINK_REPLY_SIZE = 32768;

struct LinkRequest {
    nlmsghdr header;
    ifinfomsg info;
};

// The attribute of the given type among those from first to the end of the block,
// or nullptr.
const rtattr* findAttribute(const rtattr* first, size_t length, unsigned short type) {
    int remaining = static_cast<int>(length);
    for (const rtattr* a = first; RTA_OK(a, remaining); a = RTA_NEXT(a, remaining)) {
        if (a->rta_type == type) {
            return a;
        }
    }
    return nullptr;
}

const rtattr* findNested(const rtattr* parent, unsigned short type) {
    return findAttribute(static_cast<const rtattr*>(RTA_DATA(parent)), RTA_PAYLOAD(parent), type);
}

void readLinkInfo(const rtattr* linkInfo, SocketcanLinkState* state) {
    if (const rtattr* kind = findNested(linkInfo, IFLA_INFO_KIND)) {
        const size_t length = RTA_PAYLOAD(kind) < SOCKETCAN_LINK_KIND_SIZE - 1
                                  ? RTA_PAYLOAD(kind)
                                  : SOCKETCAN_LINK_KIND_SIZE - 1;
        std::memcpy(state->kind, RTA_DATA(kind), length);
        state->kind[length] = '\0';
    }
    const rtattr* data = findNested(linkInfo, IFLA_INFO_DATA);
    if (!data) {
        return;
    }
    const rtattr* timing = findNested(data, IFLA_CAN_BITTIMING);
    if (timing && RTA_PAYLOAD(timing) >= sizeof(can_bittiming)) {
        can_bittiming bitTiming{};
        std::memcpy(&bitTiming, RTA_DATA(timing), sizeof bitTiming);
        state->bitrate = bitTiming.bitrate;
    }
}

}  // namespace

int socketcanParseLinkMessage(const void* data, size_t length, SocketcanLinkState* state) {
    std::memset(state, 0, sizeof *state);
    const nlmsghdr* header = static_cast<const nlmsghdr*>(data);
    if (length < sizeof(nlmsghdr) || !NLMSG_OK(header, static_cast<unsigned>(length))) {
        return EBADMSG;
    }
    if (header->nlmsg_type == NLMSG_ERROR) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) {
            return EBADMSG;
        }
        const nlmsgerr* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        return error->error < 0 ? -error->error : EBADMSG;
    }
    if (header->nlmsg_type != RTM_NEWLINK || header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return EBADMSG;
    }
    const ifinfomsg* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    state->type = info->ifi_type;
    state->flags = info->ifi_flags;
    if (const rtattr* linkInfo =
            findAttribute(IFLA_RTA(info), IFLA_PAYLOAD(header), IFLA_LINKINFO)) {
        readLinkInfo(linkInfo, state);
    }
    return 0;
}

int socketcanQueryLink(unsigned index, SocketcanLinkState* state) {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return errno;
    }
    LinkRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(index);

    int result = 0;
    alignas(nlmsghdr) char reply[LINK_REPLY_SIZE];
    if (send(fd, &request, sizeof request, 0) < 0) {
        result = errno;
    } else {
        ssize_t received = -1;
        do {
            received = recv(fd, reply, sizeof reply, 0);
        } while (received < 0 && errno == EINTR);
        result = received < 0
                     ? errno
                     : socketcanParseLinkMessage(reply, static_cast<size_t>(received), state);
    }
    close(fd);
    return result;
}
