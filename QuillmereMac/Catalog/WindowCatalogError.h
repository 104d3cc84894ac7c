#pragma once

#include <cstdint>
#include <string_view>

namespace quillmere {

enum class WindowCatalogError : std::uint8_t {
    // The shareable content could not be fetched.
    permissionDenied,
    // No window with that identifier in the catalog.
    windowNotFound,
};

constexpr std::string_view windowCatalogErrorName(WindowCatalogError error) {
    return error == WindowCatalogError::permissionDenied ? "permissionDenied" : "windowNotFound";
}

} // namespace quillmere
