// The session's sound: a session-wide stream for each client that takes the
// whole computer's sound, and per-surface routed streams for each client that
// routes audio by application.

#include "QuillmereMac/Audio/SessionAudio.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <utility>

namespace quillmere {

namespace {

bool routesAudio(const std::shared_ptr<MediaConnection>& connection) {
    const auto capabilities = connection ? connection->capabilitiesCopy() : std::nullopt;
    return capabilities && capabilities->features.contains(features::bit8);
}

} // namespace

std::shared_ptr<SessionAudio> SessionAudio::make(Services services) {
    return std::make_shared<SessionAudio>(std::move(services));
}

SessionAudio::SessionAudio(Services services)
    : mainActor_(*services.mainActor),
      tasks_(std::move(services.tasks)),
      surfaces_(std::move(services.surfaces)),
      makeAudioSource_(std::move(services.makeAudioSource)),
      makeRoutedAudioSource_(std::move(services.makeRoutedAudioSource)),
      windowProcess_(std::move(services.windowProcess)) {}

void SessionAudio::begin(std::uint32_t captureID, const std::shared_ptr<MediaConnection>& connection) {
    std::weak_ptr<SessionAudio> weak = weak_from_this();
    if (routesAudio(connection)) {
        mainActor_.async([weak, connection] {
            if (const auto self = weak.lock()) self->reconcileRoutes(connection);
        });
        return;
    }
    const bool start = audioLock_.withLock([&](ByConnection<AudioState>& table) {
        std::erase_if(table, [](const auto& entry) { return entry.first.expired(); });
        AudioState& state = table[connection];
        if (state.stream || state.starting) return false;
        state.starting = true;
        return true;
    });
    if (!start) return;
    mainActor_.async([weak, connection, choice = CaptureChoice::fromCaptureID(captureID)] {
        if (const auto self = weak.lock()) self->startSessionAudio(choice, connection);
    });
}

void SessionAudio::end(bool connectionSurfacesLeft, const std::shared_ptr<MediaConnection>& connection) {
    if (routesAudio(connection)) {
        // On the main actor, after any reconcile already asked for: routes
        // change in one place, in order.
        mainActor_.async([weak = weak_from_this(), connection, connectionSurfacesLeft] {
            const auto self = weak.lock();
            if (!self) return;
            if (connectionSurfacesLeft) self->reconcileRoutes(connection);
            else self->stopRoutedAudio(connection);
        });
    }
    if (connectionSurfacesLeft) return;
    const std::shared_ptr<AudioStream> stream = audioLock_.withLock([&](ByConnection<AudioState>& table) {
        const auto found = table.find(connection);
        if (found == table.end()) return std::shared_ptr<AudioStream>();
        // A start under way finds its entry gone and gives up.
        auto taken = std::move(found->second.stream);
        table.erase(found);
        return taken;
    });
    if (stream) tasks_->async([stream] { stream->stop(); });
}

void SessionAudio::startSessionAudio(CaptureChoice choice, std::shared_ptr<MediaConnection> connection) {
    std::shared_ptr<AudioSource> source = makeAudioSource_(choice);
    std::shared_ptr<AudioSink> sink = connection->audioSink();
    auto stream = source && sink ? AudioStream::make(std::move(source), std::move(sink),
                                                    AudioStream::Options{1, true, 1, {}, {}, numbersFor(connection)})
                                 : nullptr;
    const bool wanted = audioLock_.withLock([&](ByConnection<AudioState>& table) {
        const auto found = table.find(connection);
        if (found == table.end()) return false;
        found->second.starting = false;
        found->second.stream = stream;
        return stream != nullptr;
    });
    if (!wanted) return;

    const auto started = stream->start();
    if (started) return;
    audioLog_.error("audio start failed: %{public}s", started.error().description());
    audioLock_.withLock([&](ByConnection<AudioState>& table) {
        if (const auto found = table.find(connection); found != table.end() && found->second.stream == stream)
            found->second.stream = nullptr;
    });
}

// What each of the connection's surfaces that is not paused contributes; a
// window whose application the catalog does not know contributes nothing.
std::map<std::uint32_t, AudioRouting::Source>
SessionAudio::sources(const std::shared_ptr<MediaConnection>& connection) {
    std::map<std::uint32_t, AudioRouting::Source> sources;
    for (const auto& [surfaceID, choice] : surfaces_->audibleSurfaces(connection)) {
        switch (choice.kind) {
        case CaptureChoice::Kind::window:
            if (const auto pid = windowProcess_ ? windowProcess_(choice.value) : std::nullopt)
                sources.emplace(surfaceID, AudioRouting::Source::window(*pid));
            break;
        case CaptureChoice::Kind::display: sources.emplace(surfaceID, AudioRouting::Source::display()); break;
        case CaptureChoice::Kind::testPattern: sources.emplace(surfaceID, AudioRouting::Source::testPattern()); break;
        }
    }
    return sources;
}

std::shared_ptr<AudioFrameNumbers> SessionAudio::numbersFor(const std::shared_ptr<MediaConnection>& connection) {
    return numbers_.withLock([&](ByConnection<std::shared_ptr<AudioFrameNumbers>>& table) {
        std::erase_if(table, [](const auto& entry) { return entry.first.expired(); });
        auto& numbers = table[connection];
        if (!numbers) numbers = std::make_shared<AudioFrameNumbers>();
        return numbers;
    });
}

void SessionAudio::reconcileRoutes(std::shared_ptr<MediaConnection> connection) {
    const std::map<std::uint32_t, AudioRouting::Route> routes = AudioRouting::routes(sources(connection));
    const RoutedAudio previous = routed_.withLock([&](ByConnection<RoutedAudio>& table) {
        const auto found = table.find(connection);
        return found == table.end() ? RoutedAudio{} : found->second;
    });
    const AudioRouting::Reconciliation plan = AudioRouting::reconcile(previous.routes, routes);
    audioLog_.notice("audio routes %{public}s restart=%{public}s stop=%{public}s", AudioRouting::describe(routes),
                     fmt::format("[{}]", fmt::join(plan.changed, ", ")), fmt::format("[{}]", fmt::join(plan.removed, ", ")));

    for (const auto* list : {&plan.removed, &plan.changed}) {
        for (const std::uint32_t surfaceID : *list)
            if (const auto found = previous.streams.find(surfaceID); found != previous.streams.end()) found->second->stop();
    }
    routed_.withLock([&](ByConnection<RoutedAudio>& table) {
        std::erase_if(table, [](const auto& entry) { return entry.first.expired(); });
        RoutedAudio& entry = table[connection];
        entry.routes = routes;
        for (const auto* list : {&plan.removed, &plan.changed})
            for (const std::uint32_t surfaceID : *list) entry.streams.erase(surfaceID);
        // An entry that announced stays, empty or not, until the routed
        // audio stops: a surface resumed later must not announce again.
        if (entry.routes.empty() && entry.streams.empty() && !entry.announced) table.erase(table.find(connection));
    });

    const std::shared_ptr<AudioSink> sink = connection->audioSink();
    if (!sink) return;
    for (const std::uint32_t surfaceID : plan.changed) {
        const AudioRouting::Route& route = routes.at(surfaceID);
        if (std::holds_alternative<AudioRouting::route::Silent>(route)) continue;
        std::shared_ptr<AudioSource> source = makeRoutedAudioSource_(route);
        if (!source) continue;
        const bool announced = routed_.withLock(
            [&](ByConnection<RoutedAudio>& table) { return std::exchange(table[connection].announced, true); });
        auto stream = AudioStream::make(std::move(source), sink,
                                        AudioStream::Options{surfaceID, !announced, 1, {}, {}, numbersFor(connection)});
        routed_.withLock([&](ByConnection<RoutedAudio>& table) { table[connection].streams[surfaceID] = stream; });
        const auto started = stream->start();
        if (started) continue;
        audioLog_.error("audio start failed on surface %{public}u: %{public}s", surfaceID, started.error().description());
        routed_.withLock([&](ByConnection<RoutedAudio>& table) {
            RoutedAudio& entry = table[connection];
            if (const auto found = entry.streams.find(surfaceID); found != entry.streams.end() && found->second == stream)
                entry.streams.erase(found);
            // A stream that never ran never announced: the next one must.
            if (stream->announces()) entry.announced = false;
        });
    }
}

void SessionAudio::pauseChanged(std::uint32_t surfaceID, bool paused, bool changed,
                                const std::shared_ptr<MediaConnection>& connection) {
    audioLog_.notice("surface %{public}u paused=%{bool,public}d", surfaceID, paused);
    // A paused surface is not heard: the client's audio routes follow.
    if (!changed || !routesAudio(connection)) return;
    mainActor_.async([weak = weak_from_this(), connection] {
        if (const auto self = weak.lock()) self->reconcileRoutes(connection);
    });
}

void SessionAudio::stopRoutedAudio(const std::shared_ptr<MediaConnection>& connection) {
    std::map<std::uint32_t, std::shared_ptr<AudioStream>> streams;
    routed_.withLock([&](ByConnection<RoutedAudio>& table) {
        const auto found = table.find(connection);
        if (found == table.end()) return;
        streams = std::move(found->second.streams);
        table.erase(found);
    });
    for (const auto& [surfaceID, stream] : streams) tasks_->async([stream] { stream->stop(); });
}

std::map<std::uint32_t, AudioRouting::Route>
SessionAudio::routes(const std::shared_ptr<MediaConnection>& connection) const {
    return routed_.withLock([&](const ByConnection<RoutedAudio>& table) {
        const auto found = table.find(connection);
        return found == table.end() ? std::map<std::uint32_t, AudioRouting::Route>{} : found->second.routes;
    });
}

std::shared_ptr<AudioStream> SessionAudio::sessionStream(const std::shared_ptr<MediaConnection>& connection) const {
    return audioLock_.withLock([&](const ByConnection<AudioState>& table) {
        const auto found = table.find(connection);
        return found == table.end() ? nullptr : found->second.stream;
    });
}

std::map<std::uint32_t, std::shared_ptr<AudioStream>>
SessionAudio::routedStreams(const std::shared_ptr<MediaConnection>& connection) const {
    return routed_.withLock([&](const ByConnection<RoutedAudio>& table) {
        const auto found = table.find(connection);
        return found == table.end() ? std::map<std::uint32_t, std::shared_ptr<AudioStream>>{} : found->second.streams;
    });
}

} // namespace quillmere
