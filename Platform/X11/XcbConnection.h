#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillmere {

struct XcbFree {
    void operator()(void* pointer) const noexcept { std::free(pointer); }
};
// Replies, events and errors are malloc'd by libxcb and freed by the caller.
template <class T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// The extensions capture relies on, negotiated once per connection (XFixes and
// Damage refuse every request until their version was asked).
struct XcbExtensions {
    bool shmFd = false;     // MIT-SHM 1.2: segments passed as file descriptors
    bool composite = false; // 0.2 or later: named window pixmaps
    bool damage = false;
    bool xfixes = false;    // 2.0 or later: regions and cursor images
    bool randrMonitors = false; // 1.5 or later
    std::uint8_t damageFirstEvent = 0;
    std::uint8_t xfixesFirstEvent = 0;
    std::uint8_t randrFirstEvent = 0;
};

// Why a display could not be opened.
struct XcbOpenError {
    std::string displayName;
    // What xcb_connection_has_error said.
    int code = 0;

    // "cannot open display \":5\" (xcb error 2)".
    std::string description() const;
    bool operator==(const XcbOpenError&) const = default;
};

// One client connection to the X server, with the extensions the X11 layers
// use negotiated. Not thread-safe: each capture stream and each content
// fetch owns its connection.
class XcbConnection {
public:
    using Opened = std::expected<std::unique_ptr<XcbConnection>, XcbOpenError>;
    // Opens a new connection each call: given to layers that need one per
    // use (a capture stream, a rare query) by whoever chose the display.
    using Opener = std::function<Opened()>;

    // An empty name means $DISPLAY.
    static Opened open(const std::string& displayName = {});
    static Opener opener(std::string displayName);

    ~XcbConnection();
    XcbConnection(const XcbConnection&) = delete;
    XcbConnection& operator=(const XcbConnection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    int defaultScreenNumber() const { return defaultScreen_; }
    // Every screen of the display, in screen-number order.
    const std::vector<xcb_screen_t*>& screens() const { return screens_; }
    const XcbExtensions& extensions() const { return extensions_; }
    bool hasError() const { return xcb_connection_has_error(connection_) != 0; }
    int fileDescriptor() const { return xcb_get_file_descriptor(connection_); }

    // Interned atoms, asked for in one round trip and cached.
    std::vector<xcb_atom_t> atoms(std::span<const std::string_view> names);
    xcb_atom_t atom(std::string_view name);

    // Waits for a void request's outcome; empty when it succeeded.
    XcbReply<xcb_generic_error_t> check(xcb_void_cookie_t cookie) const {
        return XcbReply<xcb_generic_error_t>(xcb_request_check(connection_, cookie));
    }
    void flush() const { xcb_flush(connection_); }

private:
    XcbConnection(xcb_connection_t* connection, int defaultScreen);
    void negotiateExtensions();

    xcb_connection_t* connection_;
    int defaultScreen_;
    std::vector<xcb_screen_t*> screens_;
    XcbExtensions extensions_;
    std::unordered_map<std::string, xcb_atom_t> atomCache_;
};

// "BadWindow (3) on request 18.0" style text for logs and error details.
std::string describeXcbError(const xcb_generic_error_t& error);

} // namespace quillmere
