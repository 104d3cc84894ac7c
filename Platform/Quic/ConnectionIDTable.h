#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quillmere {

class QuicConnection;

// Which connection a packet belongs to, by its destination connection ID:
// the receive thread looks up, each connection adds and removes its own IDs
// from its executor. The table never keeps a connection alive.
class ConnectionIDTable {
public:
    // Replaces any connection the ID pointed to.
    void add(ByteView id, const std::shared_ptr<QuicConnection>& connection);
    // Removes the ID only while it still points to this connection.
    void remove(ByteView id, const QuicConnection* connection);
    // Null when unknown or when its connection is gone.
    std::shared_ptr<QuicConnection> find(ByteView id) const;
    std::size_t size() const;

private:
    static std::string keyOf(ByteView id) { return std::string(id.begin(), id.end()); }

    mutable std::mutex mutex_;
    struct Entry {
        std::weak_ptr<QuicConnection> connection;
        // Compared without locking the weak reference.
        const QuicConnection* owner = nullptr;
    };
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace quillmere
