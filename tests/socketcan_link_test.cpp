// Reading the kernel's link messages: interface type, state, kind and bit rate.
#if defined(__linux__)
#include "can/socketcan_link.h"

#include <gtest/gtest.h>
#include <linux/can/netlink.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Builds one netlink message the way the kernel lays it out.
class LinkMessage {
  public:
    explicit LinkMessage(uint16_t messageType) {
        bytes_.resize(NLMSG_HDRLEN);
        header()->nlmsg_type = messageType;
    }

    void appendInfo(unsigned short type, unsigned flags) {
        ifinfomsg info{};
        info.ifi_family = AF_UNSPEC;
        info.ifi_type = type;
        info.ifi_flags = flags;
        appendRaw(&info, sizeof info);
    }

    void appendError(int error) {
        nlmsgerr body{};
        body.error = error;
        appendRaw(&body, sizeof body);
    }

    // Starts an attribute; returns its offset for closeAttribute.
    size_t openAttribute(unsigned short type) {
        const size_t offset = bytes_.size();
        rtattr attribute{};
        attribute.rta_type = type;
        appendRaw(&attribute, sizeof attribute);
        return offset;
    }

    void closeAttribute(size_t offset) {
        rtattr* attribute = reinterpret_cast<rtattr*>(bytes_.data() + offset);
        attribute->rta_len = static_cast<unsigned short>(bytes_.size() - offset);
        bytes_.resize(RTA_ALIGN(bytes_.size()));
    }

    void appendAttribute(unsigned short type, const void* data, size_t length) {
        const size_t offset = openAttribute(type);
        appendRaw(data, length);
        closeAttribute(offset);
    }

    const std::vector<char>& finish() {
        header()->nlmsg_len = static_cast<uint32_t>(bytes_.size());
        return bytes_;
    }

  private:
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(bytes_.data()); }

    void appendRaw(const void* data, size_t length) {
        const char* from = static_cast<const char*>(data);
        bytes_.insert(bytes_.end(), from, from + length);
    }

    std::vector<char> bytes_;
};

std::vector<char> canLink(const char* kind, unsigned flags, uint32_t bitrate) {
    LinkMessage message(RTM_NEWLINK);
    message.appendInfo(ARPHRD_CAN, flags);
    message.appendAttribute(IFLA_IFNAME, "can0", sizeof "can0");
    const size_t linkInfo = message.openAttribute(IFLA_LINKINFO);
    message.appendAttribute(IFLA_INFO_KIND, kind, std::strlen(kind) + 1);
    if (bitrate != 0) {
        const size_t data = message.openAttribute(IFLA_INFO_DATA);
        const uint32_t state = CAN_STATE_ERROR_ACTIVE;
        message.appendAttribute(IFLA_CAN_STATE, &state, sizeof state);
        can_bittiming timing{};
        timing.bitrate = bitrate;
        timing.sample_point = 750;
        message.appendAttribute(IFLA_CAN_BITTIMING, &timing, sizeof timing);
        message.closeAttribute(data);
    }
    message.closeAttribute(linkInfo);
    return message.finish();
}

TEST(SocketcanLinkMessageTest, ControllerReportsItsBitrate) {
    const std::vector<char> bytes = canLink("can", IFF_UP | IFF_RUNNING, 500000);
    SocketcanLinkState state{};
    ASSERT_EQ(0, socketcanParseLinkMessage(bytes.data(), bytes.size(), &state));
    EXPECT_EQ(static_cast<unsigned>(ARPHRD_CAN), state.type);
    EXPECT_EQ(static_cast<unsigned>(IFF_UP | IFF_RUNNING), state.flags);
    EXPECT_EQ(500000u, state.bitrate);
    EXPECT_STREQ("can", state.kind);
}

TEST(SocketcanLinkMessageTest, VirtualInterfaceReportsNoBitrate) {
    const std::vector<char> bytes = canLink("vcan", 0, 0);
    SocketcanLinkState state{};
    ASSERT_EQ(0, socketcanParseLinkMessage(bytes.data(), bytes.size(), &state));
    EXPECT_EQ(0u, state.flags);
    EXPECT_EQ(0u, state.bitrate);
    EXPECT_STREQ("vcan", state.kind);
}

TEST(SocketcanLinkMessageTest, KernelErrorGivesItsErrno) {
    LinkMessage message(NLMSG_ERROR);
    message.appendError(-ENODEV);
    const std::vector<char>& bytes = message.finish();
    SocketcanLinkState state{};
    EXPECT_EQ(ENODEV, socketcanParseLinkMessage(bytes.data(), bytes.size(), &state));
}

TEST(SocketcanLinkMessageTest, MalformedMessagesAreRefused) {
    const std::vector<char> whole = canLink("can", IFF_UP, 1000000);
    SocketcanLinkState state{};
    EXPECT_EQ(EBADMSG, socketcanParseLinkMessage(whole.data(), NLMSG_HDRLEN - 1, &state));
    EXPECT_EQ(EBADMSG, socketcanParseLinkMessage(whole.data(), whole.size() - 4, &state));

    LinkMessage other(RTM_NEWADDR);
    other.appendInfo(ARPHRD_CAN, IFF_UP);
    const std::vector<char>& otherBytes = other.finish();
    EXPECT_EQ(EBADMSG, socketcanParseLinkMessage(otherBytes.data(), otherBytes.size(), &state));

    LinkMessage shortError(NLMSG_ERROR);
    const std::vector<char>& shortBytes = shortError.finish();
    EXPECT_EQ(EBADMSG, socketcanParseLinkMessage(shortBytes.data(), shortBytes.size(), &state));
}

// Every Linux network namespace has a loopback interface: the real query must see it.
TEST(SocketcanLinkQueryTest, KernelDescribesLoopback) {
    const unsigned index = if_nametoindex("lo");
    ASSERT_NE(0u, index);
    SocketcanLinkState state{};
    ASSERT_EQ(0, socketcanQueryLink(index, &state));
    EXPECT_EQ(static_cast<unsigned>(ARPHRD_LOOPBACK), state.type);
    EXPECT_NE(0u, state.flags & IFF_LOOPBACK);
    EXPECT_EQ(0u, state.bitrate);
}

TEST(SocketcanLinkQueryTest, UnknownIndexIsNoDevice) {
    SocketcanLinkState state{};
    EXPECT_EQ(ENODEV, socketcanQueryLink(0x7FFFFFF0u, &state));
}

}  // namespace
#endif
