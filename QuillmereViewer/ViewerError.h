#pragma once

#include <string>

namespace quillmere {

// A failure that ends the program with one error line and an exit status.
struct ViewerError {
    enum Status : int {
        checksFailed = 1,
        usage = 2,
        // The host could not be paired, found or reached, or refused us.
        host = 3,
    };

    std::string text;
    int status = host;

    bool operator==(const ViewerError&) const = default;
};

} // namespace quillmere
