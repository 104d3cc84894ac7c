// Batches of packets on loopback: runs of equal-sized packets go out as one
// segmented buffer, and a socket that refuses segmentation still sends every
// packet, one message each.

#include "Platform/Quic/UdpEndpoint.h"
#include "TestSupport/Eventually.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <mutex>
#include <vector>

namespace quillmere {
namespace {

TEST(UdpEndpointTest, BatchesArriveWholeAndInOrderWithOrWithoutSegmentation) {
    const struct {
        const char* name;
        bool refuseSegmentation;
    } cases[] = {{"segmented", false}, {"refused", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto receiver = UdpEndpoint::bind(SocketAddress::loopbackV4(0), 0);
        ASSERT_TRUE(receiver);
        std::mutex mutex;
        std::vector<Bytes> received;
        (*receiver)->startReceiving(
            [&](const SocketAddress&, ByteView packet) {
                std::lock_guard lock(mutex);
                received.emplace_back(packet.begin(), packet.end());
            },
            {});
        auto sender = UdpEndpoint::connect((*receiver)->localAddress(), 0);
        ASSERT_TRUE(sender);
        // The kernel refuses segmentation on a socket that sends without checksums.
        const int noChecksum = c.refuseSegmentation ? 1 : 0;
        ASSERT_EQ(::setsockopt((*sender)->descriptor(), SOL_SOCKET, SO_NO_CHECK, &noChecksum, sizeof noChecksum), 0);

        // Two runs of equal sizes, each ended by a shorter packet, and 70 in
        // a row: more than one segmented buffer takes.
        std::vector<Bytes> packets;
        for (int i = 0; i < 5; ++i) packets.push_back(Bytes(1200, static_cast<std::uint8_t>(packets.size())));
        packets.push_back(Bytes(300, static_cast<std::uint8_t>(packets.size())));
        for (int i = 0; i < 70; ++i) packets.push_back(Bytes(800, static_cast<std::uint8_t>(packets.size())));
        packets.push_back(Bytes(1200, static_cast<std::uint8_t>(packets.size())));
        std::vector<ByteView> views(packets.begin(), packets.end());
        EXPECT_FALSE((*sender)->sendBatch((*receiver)->localAddress(), views));
        EXPECT_EQ((*sender)->segmentsBatches(), !c.refuseSegmentation);

        ASSERT_TRUE(testing::eventually([&] {
            std::lock_guard lock(mutex);
            return received.size() >= packets.size();
        }));
        std::lock_guard lock(mutex);
        EXPECT_TRUE(received == packets);
    }
}

} // namespace
} // namespace quillmere
