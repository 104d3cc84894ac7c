#pragma once

#include "Platform/Dispatch/Executor.h"
#include "Platform/Dispatch/LockedBox.h"
#include "Platform/Log/Logger.h"
#include "QuillmereMac/Audio/AudioSource.h"
#include "QuillmereMac/Audio/AudioStream.h"
#include "QuillmereMac/Audio/AudioSurfaces.h"
#include "QuillmereMacCore/AudioRouting.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace quillmere {

// The session's sound: a session-wide stream for each client that takes the
// whole computer's sound, and per-surface routed streams for each client that
// routes audio by application. Routes change on the main actor only.
class SessionAudio final : public std::enable_shared_from_this<SessionAudio> {
public:
    using AudioSourceFactory = std::function<std::shared_ptr<AudioSource>(CaptureChoice)>;
    using RoutedAudioSourceFactory = std::function<std::shared_ptr<AudioSource>(const AudioRouting::Route&)>;

    struct Services {
        Executor* mainActor = nullptr;
        // Where streams are stopped.
        std::shared_ptr<Executor> tasks;
        std::shared_ptr<AudioSurfaces> surfaces;
        // Main actor. The session-wide stream's source for what the first
        // surface shows, and a routed surface's source for its route.
        AudioSourceFactory makeAudioSource;
        RoutedAudioSourceFactory makeRoutedAudioSource;
        // Main actor. The process owning a window, when known.
        std::function<std::optional<std::int32_t>(std::uint32_t windowID)> windowProcess;
    };

    static std::shared_ptr<SessionAudio> make(Services services);
    explicit SessionAudio(Services services);

    // A surface of the connection began its media.
    void begin(std::uint32_t captureID, const std::shared_ptr<MediaConnection>& connection);
    // A surface of the connection stopped.
    void end(bool connectionSurfacesLeft, const std::shared_ptr<MediaConnection>& connection);
    // A surface of the connection paused or resumed.
    void pauseChanged(std::uint32_t surfaceID, bool paused, bool changed,
                      const std::shared_ptr<MediaConnection>& connection);

    // The routes in force for a connection's surfaces, for diagnostics.
    std::map<std::uint32_t, AudioRouting::Route> routes(const std::shared_ptr<MediaConnection>& connection) const;
    std::shared_ptr<AudioStream> sessionStream(const std::shared_ptr<MediaConnection>& connection) const;
    std::map<std::uint32_t, std::shared_ptr<AudioStream>>
    routedStreams(const std::shared_ptr<MediaConnection>& connection) const;

private:
    // Main actor.
    void startSessionAudio(CaptureChoice choice, std::shared_ptr<MediaConnection> connection);
    void reconcileRoutes(std::shared_ptr<MediaConnection> connection);
    void stopRoutedAudio(const std::shared_ptr<MediaConnection>& connection);
    std::map<std::uint32_t, AudioRouting::Source> sources(const std::shared_ptr<MediaConnection>& connection);
    std::shared_ptr<AudioFrameNumbers> numbersFor(const std::shared_ptr<MediaConnection>& connection);

    // One client's session-wide stream, for clients that do not route audio.
    struct AudioState {
        std::shared_ptr<AudioStream> stream;
        bool starting = false;
    };
    // One client's routed audio: a route and a stream per surface, and
    // whether a routed stream sent the audio configuration already.
    struct RoutedAudio {
        std::map<std::uint32_t, AudioRouting::Route> routes;
        std::map<std::uint32_t, std::shared_ptr<AudioStream>> streams;
        bool announced = false;
    };
    // Audio belongs to connections, as surfaces do.
    template <class T>
    using ByConnection = std::map<std::weak_ptr<MediaConnection>, T, std::owner_less<>>;

    Executor& mainActor_;
    const std::shared_ptr<Executor> tasks_;
    const std::shared_ptr<AudioSurfaces> surfaces_;
    const AudioSourceFactory makeAudioSource_;
    const RoutedAudioSourceFactory makeRoutedAudioSource_;
    const std::function<std::optional<std::int32_t>(std::uint32_t)> windowProcess_;

    LockedBox<ByConnection<AudioState>> audioLock_;
    LockedBox<ByConnection<RoutedAudio>> routed_;
    // Kept while the connection lives, across its streams.
    LockedBox<ByConnection<std::shared_ptr<AudioFrameNumbers>>> numbers_;
    Logger audioLog_{"com.ornbeck.quillmere.mac", "audio"};
};

} // namespace quillmere
