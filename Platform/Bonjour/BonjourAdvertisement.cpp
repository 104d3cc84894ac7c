#include "Platform/Bonjour/BonjourAdvertisement.h"

#include "QuillmereBase/UTF8.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

namespace quillmere {

// Avahi calls these on its poll thread (and the first client state from
// inside avahi_client_new).
struct AvahiCallbacks {
    static void clientChanged(AvahiClient* client, AvahiClientState state, void* self);
    static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* self);
};

std::unique_ptr<BonjourAdvertisement> BonjourAdvertisement::publish(std::string name, std::string type,
                                                                    std::uint16_t port, StateHandler onState) {
    auto advertisement = std::unique_ptr<BonjourAdvertisement>(
        new BonjourAdvertisement(truncatedUTF8(name, maxNameBytes), std::move(type), port, std::move(onState)));
    BonjourAdvertisement* self = advertisement.get();
    self->poll_ = avahi_threaded_poll_new();
    if (self->poll_ == nullptr) {
        self->fail("could not start its event loop", AVAHI_ERR_NO_MEMORY);
        return advertisement;
    }
    int error = 0;
    // The first state arrives from inside avahi_client_new, before the poll
    // thread runs: client_ is set through the callback's own argument.
    self->client_ = avahi_client_new(avahi_threaded_poll_get(self->poll_), AVAHI_CLIENT_NO_FAIL,
                                     AvahiCallbacks::clientChanged, self,
                                     &error);
    if (self->client_ == nullptr) {
        self->fail("could not reach the Avahi daemon", error);
        return advertisement;
    }
    if (avahi_threaded_poll_start(self->poll_) < 0) self->fail("could not start its event loop", AVAHI_ERR_FAILURE);
    return advertisement;
}

BonjourAdvertisement::BonjourAdvertisement(std::string name, std::string type, std::uint16_t port,
                                           StateHandler onState)
    : type_(std::move(type)),
      port_(port),
      onState_(std::move(onState)),
      log_("com.ornbeck.quillmere.mac", "transport"),
      name_(std::move(name)) {}

BonjourAdvertisement::~BonjourAdvertisement() {
    if (poll_ == nullptr) return;
    avahi_threaded_poll_stop(poll_);
    // Freeing the client frees its entry group, which withdraws the service.
    if (client_ != nullptr) avahi_client_free(client_);
    avahi_threaded_poll_free(poll_);
}

std::string BonjourAdvertisement::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

BonjourAdvertisement::State BonjourAdvertisement::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void AvahiCallbacks::clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
    auto* self = static_cast<BonjourAdvertisement*>(context);
    self->client_ = client;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        self->addService(client);
        break;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name is being (re)negotiated: publish again once running.
        if (self->group_ != nullptr) avahi_entry_group_reset(self->group_);
        self->setState(BonjourAdvertisement::State::registering, "host name being registered");
        break;
    case AVAHI_CLIENT_CONNECTING:
        self->log_.error("Bonjour advertisement of %{public}s is waiting for the Avahi daemon: %{public}s",
                         self->name(), avahi_strerror(AVAHI_ERR_NO_DAEMON));
        self->setState(BonjourAdvertisement::State::waiting, avahi_strerror(AVAHI_ERR_NO_DAEMON));
        break;
    case AVAHI_CLIENT_FAILURE: {
        const int error = avahi_client_errno(client);
        self->fail("lost the Avahi daemon", error);
        if (error == AVAHI_ERR_DISCONNECTED) {
            // The daemon went away: wait for the next one, as at the start.
            self->group_ = nullptr;
            avahi_client_free(client);
            self->client_ = nullptr;
            int ignored = 0;
            self->client_ = avahi_client_new(avahi_threaded_poll_get(self->poll_), AVAHI_CLIENT_NO_FAIL,
                                             AvahiCallbacks::clientChanged, self, &ignored);
        }
        break;
    }
    }
}

void AvahiCallbacks::groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<BonjourAdvertisement*>(context);
    self->group_ = group;
    switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->setState(BonjourAdvertisement::State::established, "");
        break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
        char* alternative = nullptr;
        {
            std::lock_guard lock(self->mutex_);
            alternative = avahi_alternative_service_name(self->name_.c_str());
            if (alternative != nullptr) self->name_ = truncatedUTF8(alternative, BonjourAdvertisement::maxNameBytes);
        }
        avahi_free(alternative);
        avahi_entry_group_reset(group);
        self->addService(avahi_entry_group_get_client(group));
        break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
        self->fail("failed", avahi_client_errno(avahi_entry_group_get_client(group)));
        break;
    default:
        break;
    }
}

void BonjourAdvertisement::addService(AvahiClient* client) {
    if (group_ == nullptr) {
        group_ = avahi_entry_group_new(client, AvahiCallbacks::groupChanged, this);
        if (group_ == nullptr) {
            fail("could not make an entry group", avahi_client_errno(client));
            return;
        }
    }
    if (!avahi_entry_group_is_empty(group_)) return;
    const std::string name = this->name();
    int error = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                              name.c_str(), type_.c_str(), nullptr, nullptr, port_, nullptr);
    if (error == AVAHI_ERR_COLLISION) {
        AvahiCallbacks::groupChanged(group_, AVAHI_ENTRY_GROUP_COLLISION, this);
        return;
    }
    if (error < 0 || (error = avahi_entry_group_commit(group_)) < 0) {
        fail("was refused", error);
        return;
    }
    setState(State::registering, "");
}

void BonjourAdvertisement::setState(State state, const std::string& detail) {
    std::string name;
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        name = name_;
    }
    if (onState_) onState_(state, name, detail);
}

void BonjourAdvertisement::fail(const std::string& what, int error) {
    const std::string name = this->name();
    const std::string detail = avahi_strerror(error);
    log_.error("Bonjour advertisement of %{public}s %{public}s: %{public}s", name, what, detail);
    setState(State::failed, detail);
}

} // namespace quillmere
