#include "Platform/WiFi/WiFiNl80211.h"

#include <ifaddrs.h>
#include <linux/nl80211.h>
#include <net/if.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/netlink.h>

#include <memory>
#include <string>
#include <vector>

namespace quillmere {

namespace {

struct SocketFree {
    void operator()(nl_sock* socket) const { nl_socket_free(socket); }
};
struct MessageFree {
    void operator()(nl_msg* message) const { nlmsg_free(message); }
};
using Socket = std::unique_ptr<nl_sock, SocketFree>;

struct Interface {
    std::uint32_t index = 0;
    std::uint32_t type = NL80211_IFTYPE_UNSPECIFIED;
    std::optional<std::uint32_t> frequencyMHz;
    std::uint32_t widthCode = NL80211_CHAN_WIDTH_20_NOHT;
};

// The top-level attributes of one nl80211 reply.
std::vector<nlattr*> attributes(nl_msg* message) {
    std::vector<nlattr*> table(NL80211_ATTR_MAX + 1, nullptr);
    auto* header = static_cast<genlmsghdr*>(nlmsg_data(nlmsg_hdr(message)));
    nla_parse(table.data(), NL80211_ATTR_MAX, genlmsg_attrdata(header, 0), genlmsg_attrlen(header, 0), nullptr);
    return table;
}

std::vector<nlattr*> nested(nlattr* attribute, int maxType) {
    std::vector<nlattr*> table(static_cast<std::size_t>(maxType) + 1, nullptr);
    if (attribute != nullptr) nla_parse_nested(table.data(), maxType, attribute, nullptr);
    return table;
}

int dBm(nlattr* attribute) { return static_cast<std::int8_t>(nla_get_u8(attribute)); }

// Sends one dump request and hands every reply to the parser; false when
// the request could not be made or answered.
template <class Parse>
bool dump(nl_sock* socket, int family, std::uint8_t command, std::optional<std::uint32_t> interfaceIndex,
          Parse parse) {
    std::unique_ptr<nl_msg, MessageFree> message(nlmsg_alloc());
    if (!message) return false;
    if (genlmsg_put(message.get(), NL_AUTO_PORT, NL_AUTO_SEQ, family, 0, NLM_F_DUMP, command, 0) == nullptr)
        return false;
    if (interfaceIndex && nla_put_u32(message.get(), NL80211_ATTR_IFINDEX, *interfaceIndex) < 0) return false;
    const auto callback = [](nl_msg* reply, void* context) -> int {
        (*static_cast<Parse*>(context))(reply);
        return NL_OK;
    };
    if (nl_socket_modify_cb(socket, NL_CB_VALID, NL_CB_CUSTOM, callback, &parse) < 0) return false;
    if (nl_send_auto(socket, message.get()) < 0) return false;
    return nl_recvmsgs_default(socket) >= 0;
}

std::optional<Interface> wirelessInterface(nl_sock* socket, int family) {
    std::vector<Interface> interfaces;
    const bool answered = dump(socket, family, NL80211_CMD_GET_INTERFACE, std::nullopt, [&](nl_msg* reply) {
        const auto table = attributes(reply);
        if (table[NL80211_ATTR_IFINDEX] == nullptr) return;
        Interface found;
        found.index = nla_get_u32(table[NL80211_ATTR_IFINDEX]);
        if (table[NL80211_ATTR_IFTYPE] != nullptr) found.type = nla_get_u32(table[NL80211_ATTR_IFTYPE]);
        if (table[NL80211_ATTR_WIPHY_FREQ] != nullptr) found.frequencyMHz = nla_get_u32(table[NL80211_ATTR_WIPHY_FREQ]);
        if (table[NL80211_ATTR_CHANNEL_WIDTH] != nullptr)
            found.widthCode = nla_get_u32(table[NL80211_ATTR_CHANNEL_WIDTH]);
        interfaces.push_back(found);
    });
    if (!answered || interfaces.empty()) return std::nullopt;
    for (const Interface& candidate : interfaces) {
        if (candidate.type == NL80211_IFTYPE_STATION) return candidate;
    }
    return interfaces.front();
}

void readStation(nl_sock* socket, int family, std::uint32_t index, WiFiStatus& status) {
    bool first = true;
    dump(socket, family, NL80211_CMD_GET_STATION, index, [&](nl_msg* reply) {
        // A station interface has one station: its access point.
        if (!first) return;
        const auto info = nested(attributes(reply)[NL80211_ATTR_STA_INFO], NL80211_STA_INFO_MAX);
        if (info[NL80211_STA_INFO_SIGNAL] == nullptr && info[NL80211_STA_INFO_TX_BITRATE] == nullptr) return;
        first = false;
        if (info[NL80211_STA_INFO_SIGNAL] != nullptr) status.rssi = dBm(info[NL80211_STA_INFO_SIGNAL]);
        const auto rate = nested(info[NL80211_STA_INFO_TX_BITRATE], NL80211_RATE_INFO_MAX);
        if (rate[NL80211_RATE_INFO_BITRATE32] != nullptr)
            status.txRateMbps = nla_get_u32(rate[NL80211_RATE_INFO_BITRATE32]) / 10.0;
        else if (rate[NL80211_RATE_INFO_BITRATE] != nullptr)
            status.txRateMbps = nla_get_u16(rate[NL80211_RATE_INFO_BITRATE]) / 10.0;
    });
}

void readNoise(nl_sock* socket, int family, std::uint32_t index, WiFiStatus& status) {
    dump(socket, family, NL80211_CMD_GET_SURVEY, index, [&](nl_msg* reply) {
        const auto survey = nested(attributes(reply)[NL80211_ATTR_SURVEY_INFO], NL80211_SURVEY_INFO_MAX);
        if (survey[NL80211_SURVEY_INFO_IN_USE] == nullptr || survey[NL80211_SURVEY_INFO_NOISE] == nullptr) return;
        status.noise = dBm(survey[NL80211_SURVEY_INFO_NOISE]);
    });
}

} // namespace

std::optional<WiFiStatus> WiFiNl80211::read() {
    Socket socket(nl_socket_alloc());
    if (!socket || genl_connect(socket.get()) < 0) return std::nullopt;
    const int family = genl_ctrl_resolve(socket.get(), "nl80211");
    if (family < 0) return std::nullopt;
    const auto interface = wirelessInterface(socket.get(), family);
    if (!interface) return std::nullopt;

    WiFiStatus status;
    if (interface->frequencyMHz) status.channel = channelOf(*interface->frequencyMHz, interface->widthCode);
    readStation(socket.get(), family, interface->index, status);
    readNoise(socket.get(), family, interface->index, status);
    return status;
}

WiFiStatus::Channel WiFiNl80211::channelOf(std::uint32_t frequencyMHz, std::uint32_t widthCode) {
    WiFiStatus::Channel channel;
    const int f = static_cast<int>(frequencyMHz);
    if (f == 2484) {
        channel = {14, WiFiStatus::Band::ghz2_4};
    } else if (f >= 2412 && f < 2484) {
        channel = {(f - 2407) / 5, WiFiStatus::Band::ghz2_4};
    } else if (f == 5935) {
        channel = {2, WiFiStatus::Band::ghz6};
    } else if (f >= 5955 && f <= 7115) {
        channel = {(f - 5950) / 5, WiFiStatus::Band::ghz6};
    } else if (f >= 4910 && f < 5000) {
        // Japan's 4.9 GHz channels count from 4000 MHz.
        channel = {(f - 4000) / 5, WiFiStatus::Band::ghz5};
    } else if (f >= 5000 && f <= 5895) {
        channel = {(f - 5000) / 5, WiFiStatus::Band::ghz5};
    }
    switch (widthCode) {
    case NL80211_CHAN_WIDTH_20_NOHT:
    case NL80211_CHAN_WIDTH_20: channel.widthMHz = 20; break;
    case NL80211_CHAN_WIDTH_40: channel.widthMHz = 40; break;
    case NL80211_CHAN_WIDTH_80: channel.widthMHz = 80; break;
    case NL80211_CHAN_WIDTH_160: channel.widthMHz = 160; break;
    default: channel.widthMHz = 0; break;
    }
    return channel;
}

bool WiFiNl80211::isInterfaceRunning(std::string_view name) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool running = false;
    for (const ifaddrs* entry = list; entry != nullptr && !running; entry = entry->ifa_next) {
        running = entry->ifa_name != nullptr && name == entry->ifa_name &&
                  (entry->ifa_flags & (IFF_UP | IFF_RUNNING)) == (IFF_UP | IFF_RUNNING);
    }
    ::freeifaddrs(list);
    return running;
}

} // namespace quillmere
