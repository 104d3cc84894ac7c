#include "Platform/Bonjour/BonjourBrowser.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>

#include <algorithm>

namespace quillmere {

// Avahi calls these on its poll thread.
struct AvahiBrowseCallbacks {
    static void client(AvahiClient* client, AvahiClientState state, void* context) {
        if (state == AVAHI_CLIENT_FAILURE)
            static_cast<BonjourBrowser*>(context)->failed(avahi_strerror(avahi_client_errno(client)));
    }

    static void browsed(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                        AvahiLookupResultFlags, void* context) {
        auto* self = static_cast<BonjourBrowser*>(context);
        switch (event) {
        case AVAHI_BROWSER_NEW:
            // The resolver frees itself in its callback.
            if (avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface, protocol, name, type,
                                           domain, AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolvedCallback,
                                           self) == nullptr) {
                self->failed(avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
            }
            break;
        case AVAHI_BROWSER_REMOVE:
            self->removed(name);
            break;
        case AVAHI_BROWSER_FAILURE:
            self->failed(avahi_strerror(avahi_client_errno(avahi_service_browser_get_client(browser))));
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
        case AVAHI_BROWSER_ALL_FOR_NOW:
            break;
        }
    }

    static void resolvedCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                                 AvahiResolverEvent event, const char* name, const char*, const char*,
                                 const char* hostName, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                                 AvahiLookupResultFlags, void* context) {
        if (event == AVAHI_RESOLVER_FOUND && address != nullptr) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            static_cast<BonjourBrowser*>(context)->resolved(
                BonjourService{name, hostName != nullptr ? hostName : "", text, port, address->proto == AVAHI_PROTO_INET6});
        }
        avahi_service_resolver_free(resolver);
    }
};

std::expected<std::unique_ptr<BonjourBrowser>, std::string> BonjourBrowser::browse(std::string type) {
    std::unique_ptr<BonjourBrowser> browser(new BonjourBrowser(std::move(type)));
    BonjourBrowser* self = browser.get();
    self->poll_ = avahi_threaded_poll_new();
    if (self->poll_ == nullptr) return std::unexpected(std::string(avahi_strerror(AVAHI_ERR_NO_MEMORY)));
    int error = 0;
    self->client_ = avahi_client_new(avahi_threaded_poll_get(self->poll_), AvahiClientFlags(0),
                                     AvahiBrowseCallbacks::client, self, &error);
    if (self->client_ == nullptr) return std::unexpected(std::string(avahi_strerror(error)));
    self->browser_ = avahi_service_browser_new(self->client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                               self->type_.c_str(), nullptr, AvahiLookupFlags(0),
                                               AvahiBrowseCallbacks::browsed, self);
    if (self->browser_ == nullptr) return std::unexpected(std::string(avahi_strerror(avahi_client_errno(self->client_))));
    if (avahi_threaded_poll_start(self->poll_) < 0) return std::unexpected(std::string(avahi_strerror(AVAHI_ERR_FAILURE)));
    return browser;
}

BonjourBrowser::~BonjourBrowser() {
    if (poll_ == nullptr) return;
    avahi_threaded_poll_stop(poll_);
    // Freeing the client frees its browser and resolvers.
    if (client_ != nullptr) avahi_client_free(client_);
    avahi_threaded_poll_free(poll_);
}

void BonjourBrowser::resolved(BonjourService service) {
    {
        std::lock_guard lock(mutex_);
        // One entry per name and address family: a service seen again replaces its entry.
        std::erase_if(services_, [&](const BonjourService& known) {
            return known.name == service.name && known.ipv6 == service.ipv6;
        });
        services_.push_back(std::move(service));
    }
    changed_.notify_all();
}

void BonjourBrowser::removed(const std::string& name) {
    std::lock_guard lock(mutex_);
    std::erase_if(services_, [&](const BonjourService& known) { return known.name == name; });
}

void BonjourBrowser::failed(std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(text);
    }
    changed_.notify_all();
}

std::vector<BonjourService> BonjourBrowser::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

std::optional<std::string> BonjourBrowser::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

std::optional<BonjourService> BonjourBrowser::waitFor(const std::function<bool(const BonjourService&)>& predicate,
                                                      std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    std::optional<BonjourService> found;
    changed_.wait_for(lock, limit, [&] {
        const auto match = std::find_if(services_.begin(), services_.end(), predicate);
        if (match != services_.end()) found = *match;
        return found.has_value() || failure_.has_value();
    });
    return found;
}

} // namespace quillmere
