#pragma once

#include "QuillmereMac/Surface/MediaConnection.h"

#include <cstdint>
#include <memory>

namespace quillmere {

// A surface as the media side keys it: its number within its connection's
// session, and the connection. Two clients may each have a surface 1; their
// keys differ. The connection is held weakly and compared by identity, so a
// key never matches a later connection that happens to reuse an address.
struct SurfaceKey {
    std::weak_ptr<MediaConnection> connection;
    std::uint32_t surfaceID = 0;

    bool belongsTo(const std::shared_ptr<MediaConnection>& other) const {
        return !connection.owner_before(other) && !other.owner_before(connection);
    }
    bool operator==(const SurfaceKey& other) const {
        return surfaceID == other.surfaceID && !connection.owner_before(other.connection) &&
               !other.connection.owner_before(connection);
    }
};

// By surface identifier first, so that a table's first entry is its lowest
// surface.
struct SurfaceKeyOrder {
    bool operator()(const SurfaceKey& a, const SurfaceKey& b) const {
        if (a.surfaceID != b.surfaceID) return a.surfaceID < b.surfaceID;
        return a.connection.owner_before(b.connection);
    }
};

} // namespace quillmere
