#include "Platform/Quic/ConnectionIDTable.h"

namespace quillmere {

void ConnectionIDTable::add(ByteView id, const std::shared_ptr<QuicConnection>& connection) {
    std::lock_guard lock(mutex_);
    entries_[keyOf(id)] = Entry{connection, connection.get()};
}

void ConnectionIDTable::remove(ByteView id, const QuicConnection* connection) {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(keyView(id));
    if (found != entries_.end() && found->second.owner == connection) entries_.erase(found);
}

std::shared_ptr<QuicConnection> ConnectionIDTable::find(ByteView id) const {
    std::weak_ptr<QuicConnection> entry;
    {
        std::lock_guard lock(mutex_);
        const auto found = entries_.find(keyView(id));
        if (found == entries_.end()) return nullptr;
        entry = found->second.connection;
    }
    // Locked outside the table's lock: dropping the last reference here may
    // run the connection's destructor, which removes its IDs.
    return entry.lock();
}

std::size_t ConnectionIDTable::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace quillmere
