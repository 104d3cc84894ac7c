#include "QuillmereMac/HostConnection/HostPeer.h"

#include "QuillmereTransport/PeerConnection.h"

namespace quillmere {

namespace {

class QuicHostPeer final : public HostPeer {
public:
    explicit QuicHostPeer(std::shared_ptr<PeerConnection> connection) : connection_(std::move(connection)) {}

    Executor& queue() override { return connection_->queue(); }
    void start(EventHandler onEvent) override { connection_->start(std::move(onEvent)); }
    void sendControl(const ControlMessage& message) override { connection_->sendControl(message); }
    void close(double graceSeconds) override { connection_->close(graceSeconds); }
    void limitDatagramAge(std::uint64_t maxAgeNs) override { connection_->setDatagramMaxAge(maxAgeNs); }
    std::int64_t datagramsExpired() const override { return connection_->datagramsExpired(); }
    // The transport keeps a share of the buffer until the datagram is sent.
    void sendDatagram(SharedBytes datagram, Completion completion) override {
        connection_->sendDatagram(std::move(datagram), std::move(completion));
    }
    std::int64_t usableDatagramSize() const override { return connection_->usableDatagramSize(); }

private:
    std::shared_ptr<PeerConnection> connection_;
};

} // namespace

std::shared_ptr<HostPeer> HostPeer::over(std::shared_ptr<PeerConnection> connection) {
    return std::make_shared<QuicHostPeer>(std::move(connection));
}

} // namespace quillmere
