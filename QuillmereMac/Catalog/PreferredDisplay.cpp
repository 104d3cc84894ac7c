#include "QuillmereMac/Catalog/PreferredDisplay.h"

#include <mutex>

namespace quillmere {

namespace {

struct Preferred {
    std::mutex lock;
    std::optional<std::uint32_t> displayID;
};

Preferred& preferred() {
    static Preferred instance; // made on first use, thread-safely
    return instance;
}

} // namespace

std::optional<std::uint32_t> preferredDisplayID() {
    Preferred& shared = preferred();
    std::lock_guard lock(shared.lock);
    return shared.displayID;
}

void setPreferredDisplayID(std::optional<std::uint32_t> displayID) {
    Preferred& shared = preferred();
    std::lock_guard lock(shared.lock);
    shared.displayID = displayID;
}

} // namespace quillmere
