#include "QuillmereMac/Engine/TrustStoreWorker.h"

namespace quillmere {

TrustStoreWorker::TrustStoreWorker(TrustStore store, std::shared_ptr<TrustSnapshot> trusted, Executor& main,
                                   std::shared_ptr<Executor> queue)
    : store_(std::make_shared<TrustStore>(std::move(store))), trusted_(std::move(trusted)), main_(main),
      queue_(std::move(queue)) {}

TrustStoreWorker::~TrustStoreWorker() {
    // The queue goes first, with the jobs that hold the store.
    queue_.reset();
}

void TrustStoreWorker::run(Job job, Done done) {
    queue_->async([store = store_, trusted = trusted_, main = &main_, job = std::move(job), done = std::move(done)] {
        auto result = job(*store, *trusted);
        main->async([done, result = std::move(result)] { done(result); });
    });
}

void TrustStoreWorker::reload(Done done) {
    run(
        [](TrustStore& store, TrustSnapshot& trusted) -> std::expected<void, TrustStoreError> {
            const std::uint64_t ticket = trusted.ticket();
            if (auto reloaded = store.reload(); !reloaded) return std::unexpected(reloaded.error());
            trusted.stored(ticket, store.peers());
            return {};
        },
        std::move(done));
}

void TrustStoreWorker::add(const TrustedPeer& peer, Done done) {
    run(
        [peer](TrustStore& store, TrustSnapshot& trusted) -> std::expected<void, TrustStoreError> {
            if (auto added = store.add(peer); !added) return added;
            trusted.paired(trusted.ticket(), store.peers(), peer);
            return {};
        },
        std::move(done));
}

void TrustStoreWorker::saveRemovals(Done done) {
    run(
        [](TrustStore& store, TrustSnapshot& trusted) -> std::expected<void, TrustStoreError> {
            std::expected<void, TrustStoreError> result;
            for (const TrustedPeer& removal : trusted.unsaved()) {
                // Read first, without the lock: taking it would make the folder anew.
                auto blob = store.storage().load();
                if (!blob) return std::unexpected(TrustStoreError::storage(std::move(blob.error())));
                if (!*blob) return std::unexpected(TrustStoreError::storage(store.storage().location() + " is missing"));
                if (auto removed = store.remove(removal.deviceID); !removed) {
                    result = std::unexpected(removed.error());
                    continue;
                }
                trusted.removalSaved(trusted.ticket(), store.peers(), removal);
            }
            return result;
        },
        std::move(done));
}

} // namespace quillmere
