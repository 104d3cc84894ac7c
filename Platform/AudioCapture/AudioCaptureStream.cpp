#include "Platform/AudioCapture/AudioCaptureStream.h"

#include "Platform/AudioCapture/AudioMixer.h"
#include "Platform/AudioCapture/ProcessTree.h"
#include "Platform/AudioCapture/PulseContext.h"
#include "Platform/Dispatch/Clock.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere {

namespace {

struct PlaybackStream {
    std::uint32_t index = 0;
    std::uint32_t sink = 0;
    // The reported process, its parent, ...; empty when none is reported.
    std::vector<std::int32_t> lineage;
};

std::optional<std::int32_t> processIDOf(const pa_proplist* properties) {
    const char* text = properties ? pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID) : nullptr;
    if (!text) return std::nullopt;
    const std::string_view view(text);
    std::int32_t pid = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), pid);
    if (error != std::errc{} || end != view.data() + view.size()) return std::nullopt;
    return pid;
}

// What the queue's work shares: the mixer and the handlers, touched on the
// queue only; open is cleared by stop.
struct Delivery {
    Delivery(std::int32_t channels, std::int32_t rate, AudioCaptureStream::Output output,
             AudioCaptureStream::Stopped stopped)
        : mixer(channels, rate * AudioCaptureStream::maxLagMs / 1000),
          channels(channels),
          rate(rate),
          output(std::move(output)),
          stopped(std::move(stopped)) {}

    void deliver() {
        std::vector<float> mixed = mixer.pull();
        if (mixed.empty() || !open) return;
        AudioSampleBuffer buffer;
        buffer.format = AudioStreamFormat{static_cast<double>(rate), channels, 32, true, false};
        buffer.frames = static_cast<std::int64_t>(mixed.size()) / channels;
        buffer.buffers.emplace_back(mixed.size() * sizeof(float));
        std::memcpy(buffer.buffers.front().data(), mixed.data(), mixed.size() * sizeof(float));
        const auto duration = static_cast<std::uint64_t>(buffer.frames) * 1'000'000'000ULL / static_cast<std::uint64_t>(rate);
        const std::uint64_t now = Clock::nowNs();
        buffer.presentationTimeNs = now > duration ? now - duration : 0;
        output(std::move(buffer));
    }

    AudioMixer mixer;
    const std::int32_t channels;
    const std::int32_t rate;
    const AudioCaptureStream::Output output;
    const AudioCaptureStream::Stopped stopped;
    std::atomic<bool> open{true};
};

} // namespace

struct AudioCaptureStream::State {
    struct Monitor {
        State* state = nullptr;
        std::uint32_t input = 0;
        std::uint32_t sink = 0;
        pa_stream* stream = nullptr;
        bool alive = true;
        // Read but not yet handed over: the server may deliver a
        // millisecond at a time, the queue takes a fragment at a time.
        std::vector<float> pending;
    };

    AudioCaptureFilter filter;
    AudioCaptureConfiguration configuration;
    std::int32_t ownProcessID = static_cast<std::int32_t>(::getpid());
    ProcessTree tree;
    std::shared_ptr<Executor> queue;
    std::shared_ptr<Delivery> delivery;
    std::unique_ptr<PulseContext> context;

    // Touched with the loop locked, or on its thread.
    std::map<std::uint32_t, std::unique_ptr<Monitor>> monitors;
    std::vector<PlaybackStream> listed;
    bool listing = false;
    bool listAgain = false;
    bool ending = false;
    bool reportedEnd = false;

    bool admits(const PlaybackStream& playback) const {
        const auto& lineage = playback.lineage;
        if (configuration.excludesCurrentProcessAudio &&
            std::find(lineage.begin(), lineage.end(), ownProcessID) != lineage.end())
            return false;
        return filter.admits(lineage);
    }

    // Lists the playback streams, then follows what changed; one listing at
    // a time, with one more after it when events came meanwhile.
    void list() {
        if (ending) return;
        if (listing) {
            listAgain = true;
            return;
        }
        listing = true;
        listed.clear();
        if (pa_operation* operation = pa_context_get_sink_input_info_list(context->get(), &onPlaybackStream, this))
            pa_operation_unref(operation);
        else
            listing = false;
    }

    void follow() {
        std::map<std::uint32_t, std::uint32_t> wanted;
        for (const PlaybackStream& playback : listed)
            if (admits(playback)) wanted.emplace(playback.index, playback.sink);
        for (auto it = monitors.begin(); it != monitors.end();) {
            const auto found = wanted.find(it->first);
            // A playback stream that moved took its monitor stream down:
            // it is opened anew on its new sink.
            if (found == wanted.end() || !it->second->alive || it->second->sink != found->second) {
                close(*it->second);
                queue->async([delivery = delivery, input = it->first] {
                    delivery->mixer.remove(input);
                    delivery->deliver();
                });
                it = monitors.erase(it);
            } else {
                ++it;
            }
        }
        for (const auto& [input, sink] : wanted)
            if (!monitors.contains(input)) open(input, sink);
    }

    void open(std::uint32_t input, std::uint32_t sink) {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<std::uint32_t>(configuration.sampleRate),
                                  static_cast<std::uint8_t>(configuration.channelCount)};
        pa_channel_map map;
        pa_channel_map_init_auto(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        pa_stream* stream = pa_stream_new(context->get(), "Quillmere capture", &spec, &map);
        if (!stream) return;
        auto monitor = std::make_unique<Monitor>(Monitor{this, input, sink, stream, true, {}});
        pa_stream_set_monitor_stream(stream, input);
        pa_stream_set_read_callback(stream, &onRead, monitor.get());
        pa_stream_set_state_callback(stream, &onStreamState, monitor.get());
        const auto fragment = static_cast<std::uint32_t>(pa_bytes_per_second(&spec) * fragmentMs / 1000);
        const pa_buffer_attr attributes{static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1),
                                        static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1), fragment};
        // No device: the server records from the monitor of the sink the
        // playback stream plays to.
        if (pa_stream_connect_record(stream, nullptr, &attributes,
                                     static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE)) < 0) {
            close(*monitor);
            return;
        }
        monitors.emplace(input, std::move(monitor));
    }

    static void close(Monitor& monitor) {
        pa_stream_set_read_callback(monitor.stream, nullptr, nullptr);
        pa_stream_set_state_callback(monitor.stream, nullptr, nullptr);
        pa_stream_disconnect(monitor.stream);
        pa_stream_unref(monitor.stream);
        monitor.stream = nullptr;
    }

    static void onPlaybackStream(pa_context*, const pa_sink_input_info* info, int last, void* userdata) {
        auto& state = *static_cast<State*>(userdata);
        if (last == 0 && info) {
            const auto processID = processIDOf(info->proplist);
            state.listed.push_back(
                {info->index, info->sink, processID ? state.tree.lineage(*processID) : std::vector<std::int32_t>{}});
            return;
        }
        state.listing = false;
        if (last > 0 && !state.ending) state.follow();
        if (std::exchange(state.listAgain, false)) state.list();
    }

    static void onEvent(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* userdata) {
        static_cast<State*>(userdata)->list();
    }

    static void onStreamState(pa_stream* stream, void* userdata) {
        auto& monitor = *static_cast<Monitor*>(userdata);
        const pa_stream_state_t now = pa_stream_get_state(stream);
        if (now != PA_STREAM_FAILED && now != PA_STREAM_TERMINATED) return;
        monitor.alive = false;
        monitor.state->list();
    }

    static void onRead(pa_stream* stream, std::size_t, void* userdata) {
        auto& monitor = *static_cast<Monitor*>(userdata);
        std::vector<float>& samples = monitor.pending;
        const void* data = nullptr;
        std::size_t bytes = 0;
        while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
            // A hole (no data) is left out: the mixer's lag rule covers it.
            if (data) {
                const std::size_t count = bytes / sizeof(float);
                const std::size_t at = samples.size();
                samples.resize(at + count);
                std::memcpy(samples.data() + at, data, count * sizeof(float));
            }
            pa_stream_drop(stream);
        }
        const auto& configuration = monitor.state->configuration;
        const auto fragment =
            static_cast<std::size_t>(configuration.sampleRate * configuration.channelCount * fragmentMs / 1000);
        if (samples.size() < fragment) return;
        monitor.state->queue->async(
            [delivery = monitor.state->delivery, input = monitor.input, samples = std::exchange(samples, {})] {
                delivery->mixer.push(input, samples);
                delivery->deliver();
            });
    }

    static void onContextState(pa_context* context, void* userdata) {
        auto& state = *static_cast<State*>(userdata);
        const pa_context_state_t now = pa_context_get_state(context);
        if ((now != PA_CONTEXT_FAILED && now != PA_CONTEXT_TERMINATED) || state.ending || state.reportedEnd) return;
        state.reportedEnd = true;
        state.queue->async([delivery = state.delivery, error = AudioCaptureError::disconnected(state.context->lastError())] {
            if (delivery->open && delivery->stopped) delivery->stopped(error);
        });
    }
};

AudioCaptureStream::AudioCaptureStream(AudioCaptureFilter filter, AudioCaptureConfiguration configuration)
    : filter_(std::move(filter)), configuration_(configuration) {}

AudioCaptureStream::~AudioCaptureStream() { stop(); }

std::expected<void, AudioCaptureError> AudioCaptureStream::start(std::shared_ptr<Executor> queue, Output output,
                                                                 Stopped stopped) {
    if (state_) return std::unexpected(AudioCaptureError::streamFailed("already started"));
    auto connected = PulseContext::connect({filter_.server, "Quillmere", {}});
    if (!connected) return std::unexpected(connected.error());

    auto state = std::make_shared<State>();
    state->filter = filter_;
    state->configuration = configuration_;
    state->queue = std::move(queue);
    state->delivery = std::make_shared<Delivery>(configuration_.channelCount, configuration_.sampleRate,
                                                 std::move(output), std::move(stopped));
    state->context = std::move(*connected);
    bool subscribed = false;
    {
        PulseContext::Lock lock(*state->context);
        pa_context* context = state->context->get();
        pa_context_set_state_callback(context, &State::onContextState, state.get());
        pa_context_set_subscribe_callback(context, &State::onEvent, state.get());
        if (pa_operation* operation = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr)) {
            pa_operation_unref(operation);
            subscribed = true;
            state->list();
        }
    }
    state_ = state;
    if (!subscribed) {
        const std::string why = state->context->lastError();
        stop();
        return std::unexpected(AudioCaptureError::streamFailed(why));
    }
    return {};
}

void AudioCaptureStream::stop() {
    const std::shared_ptr<State> state = std::move(state_);
    if (!state) return;
    state->delivery->open = false;
    {
        PulseContext::Lock lock(*state->context);
        state->ending = true;
        for (auto& [input, monitor] : state->monitors) State::close(*monitor);
        state->monitors.clear();
        pa_context_set_subscribe_callback(state->context->get(), nullptr, nullptr);
        pa_context_set_state_callback(state->context->get(), nullptr, nullptr);
    }
    // Ends the loop's thread: no callback runs after this.
    state->context.reset();
}

} // namespace quillmere
