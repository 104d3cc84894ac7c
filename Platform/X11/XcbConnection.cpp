#include "Platform/X11/XcbConnection.h"

#include "Platform/X11/XcbOpening.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <fmt/format.h>

namespace quillmere {

namespace {

std::string_view xErrorName(std::uint8_t code) {
    switch (code) {
    case XCB_REQUEST: return "BadRequest";
    case XCB_VALUE: return "BadValue";
    case XCB_WINDOW: return "BadWindow";
    case XCB_PIXMAP: return "BadPixmap";
    case XCB_ATOM: return "BadAtom";
    case XCB_MATCH: return "BadMatch";
    case XCB_DRAWABLE: return "BadDrawable";
    case XCB_ACCESS: return "BadAccess";
    case XCB_ALLOC: return "BadAlloc";
    case XCB_ID_CHOICE: return "BadIDChoice";
    case XCB_LENGTH: return "BadLength";
    case XCB_IMPLEMENTATION: return "BadImplementation";
    default: return "X error";
    }
}

} // namespace

std::string describeXcbError(const xcb_generic_error_t& error) {
    return fmt::format("{} ({}) on request {}.{}", xErrorName(error.error_code), error.error_code,
                       error.major_code, error.minor_code);
}

std::string XcbOpenError::description() const {
    return fmt::format("cannot open display \"{}\" (xcb error {})", displayName, code);
}

XcbConnection::Opener XcbConnection::opener(std::string displayName) {
    return [displayName = std::move(displayName)] { return open(displayName); };
}

XcbConnection::Opened XcbConnection::open(const std::string& displayName) {
    int screen = 0;
    xcb_connection_t* connection = XcbOpening::connect(displayName.empty() ? nullptr : displayName.c_str(), &screen);
    if (const int failure = xcb_connection_has_error(connection); failure != 0) {
        xcb_disconnect(connection);
        return std::unexpected(XcbOpenError{displayName, failure});
    }
    std::unique_ptr<XcbConnection> result(new XcbConnection(connection, screen));
    result->negotiateExtensions();
    return result;
}

XcbConnection::XcbConnection(xcb_connection_t* connection, int defaultScreen)
    : connection_(connection), defaultScreen_(defaultScreen) {
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_)); it.rem > 0; xcb_screen_next(&it)) {
        screens_.push_back(it.data);
    }
}

XcbConnection::~XcbConnection() { xcb_disconnect(connection_); }

void XcbConnection::negotiateExtensions() {
    // Prefetch all five, then ask their versions in one round trip.
    for (xcb_extension_t* ext : {&xcb_shm_id, &xcb_composite_id, &xcb_damage_id, &xcb_xfixes_id, &xcb_randr_id}) {
        xcb_prefetch_extension_data(connection_, ext);
    }
    const auto* shm = xcb_get_extension_data(connection_, &xcb_shm_id);
    const auto* composite = xcb_get_extension_data(connection_, &xcb_composite_id);
    const auto* damage = xcb_get_extension_data(connection_, &xcb_damage_id);
    const auto* xfixes = xcb_get_extension_data(connection_, &xcb_xfixes_id);
    const auto* randr = xcb_get_extension_data(connection_, &xcb_randr_id);

    const bool hasShm = shm != nullptr && shm->present;
    const bool hasComposite = composite != nullptr && composite->present;
    const bool hasDamage = damage != nullptr && damage->present;
    const bool hasXfixes = xfixes != nullptr && xfixes->present;
    const bool hasRandr = randr != nullptr && randr->present;

    // XFixes first: Damage 1.1 needs it negotiated.
    xcb_xfixes_query_version_cookie_t xfixesCookie{};
    xcb_damage_query_version_cookie_t damageCookie{};
    xcb_composite_query_version_cookie_t compositeCookie{};
    xcb_shm_query_version_cookie_t shmCookie{};
    xcb_randr_query_version_cookie_t randrCookie{};
    if (hasXfixes) xfixesCookie = xcb_xfixes_query_version(connection_, 5, 0);
    if (hasDamage) damageCookie = xcb_damage_query_version(connection_, 1, 1);
    if (hasComposite) compositeCookie = xcb_composite_query_version(connection_, 0, 4);
    if (hasShm) shmCookie = xcb_shm_query_version(connection_);
    if (hasRandr) randrCookie = xcb_randr_query_version(connection_, 1, 5);

    if (hasXfixes) {
        XcbReply<xcb_xfixes_query_version_reply_t> reply(xcb_xfixes_query_version_reply(connection_, xfixesCookie, nullptr));
        extensions_.xfixes = reply && reply->major_version >= 2;
        extensions_.xfixesFirstEvent = xfixes->first_event;
    }
    if (hasDamage) {
        XcbReply<xcb_damage_query_version_reply_t> reply(xcb_damage_query_version_reply(connection_, damageCookie, nullptr));
        extensions_.damage = reply != nullptr;
        extensions_.damageFirstEvent = damage->first_event;
    }
    if (hasComposite) {
        XcbReply<xcb_composite_query_version_reply_t> reply(
            xcb_composite_query_version_reply(connection_, compositeCookie, nullptr));
        extensions_.composite = reply && (reply->major_version > 0 || reply->minor_version >= 2);
    }
    if (hasShm) {
        XcbReply<xcb_shm_query_version_reply_t> reply(xcb_shm_query_version_reply(connection_, shmCookie, nullptr));
        extensions_.shmFd = reply && (reply->major_version > 1 || (reply->major_version == 1 && reply->minor_version >= 2));
    }
    if (hasRandr) {
        XcbReply<xcb_randr_query_version_reply_t> reply(xcb_randr_query_version_reply(connection_, randrCookie, nullptr));
        extensions_.randrMonitors = reply && (reply->major_version > 1 || reply->minor_version >= 5);
        extensions_.randrFirstEvent = randr->first_event;
    }
}

std::vector<xcb_atom_t> XcbConnection::atoms(std::span<const std::string_view> names) {
    std::vector<xcb_atom_t> result(names.size(), XCB_ATOM_NONE);
    std::vector<std::pair<std::size_t, xcb_intern_atom_cookie_t>> pending;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (auto it = atomCache_.find(std::string(names[i])); it != atomCache_.end()) {
            result[i] = it->second;
        } else {
            pending.emplace_back(i, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(names[i].size()),
                                                    names[i].data()));
        }
    }
    for (const auto& [index, cookie] : pending) {
        XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection_, cookie, nullptr));
        if (!reply) continue;
        result[index] = reply->atom;
        atomCache_.emplace(std::string(names[index]), reply->atom);
    }
    return result;
}

xcb_atom_t XcbConnection::atom(std::string_view name) {
    const std::string_view names[] = {name};
    return atoms(names).front();
}

} // namespace quillmere
