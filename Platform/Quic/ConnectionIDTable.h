#pragma once

#include "QuillmereBase/Bytes.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
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
    static std::string keyOf(ByteView id) { return std::string(keyView(id)); }
    static std::string_view keyView(ByteView id) {
        return std::string_view(reinterpret_cast<const char*>(id.data()), id.size());
    }
    // Looked up by a view: an ID is longer than a string keeps inline, and
    // the receive thread looks one up for every packet.
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view key) const { return std::hash<std::string_view>{}(key); }
    };

    mutable std::mutex mutex_;
    struct Entry {
        std::weak_ptr<QuicConnection> connection;
        // Compared without locking the weak reference.
        const QuicConnection* owner = nullptr;
    };
    std::unordered_map<std::string, Entry, Hash, std::equal_to<>> entries_;
};

} // namespace quillmere
