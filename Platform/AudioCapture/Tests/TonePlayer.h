#pragma once

// An application playing a steady sine tone to the sound server's default
// sink, claiming whichever process identifier the test gives it.

#include "Platform/AudioCapture/PulseContext.h"

#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace quillmere::testing {

class TonePlayer {
public:
    TonePlayer(const std::string& server, double hz, std::optional<std::int32_t> processID = std::nullopt)
        : step_(2.0 * M_PI * hz / rate) {
        PulseContext::Options options{server, "tone " + std::to_string(static_cast<int>(hz)), {}};
        if (processID) options.properties["application.process.id"] = std::to_string(*processID);
        auto connected = PulseContext::connect(options);
        if (!connected) throw std::runtime_error(connected.error().description());
        context_ = std::move(*connected);

        PulseContext::Lock lock(*context_);
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, rate, 2};
        stream_ = pa_stream_new(context_->get(), "tone", &spec, nullptr);
        if (!stream_) throw std::runtime_error("tone: no stream");
        pa_stream_set_write_callback(stream_, &onWrite, this);
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); },
            context_->loop());
        const auto target = static_cast<std::uint32_t>(pa_usec_to_bytes(20'000, &spec));
        const pa_buffer_attr attributes{static_cast<std::uint32_t>(-1), target, static_cast<std::uint32_t>(-1),
                                        static_cast<std::uint32_t>(-1), static_cast<std::uint32_t>(-1)};
        if (pa_stream_connect_playback(stream_, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0)
            throw std::runtime_error("tone: " + context_->lastError());
        while (pa_stream_get_state(stream_) == PA_STREAM_CREATING || pa_stream_get_state(stream_) == PA_STREAM_UNCONNECTED)
            pa_threaded_mainloop_wait(context_->loop());
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) throw std::runtime_error("tone: " + context_->lastError());
    }

    ~TonePlayer() {
        PulseContext::Lock lock(*context_);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

private:
    static constexpr std::uint32_t rate = 48000;

    static void onWrite(pa_stream* stream, std::size_t bytes, void* userdata) {
        auto& self = *static_cast<TonePlayer*>(userdata);
        void* data = nullptr;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data) return;
        auto* samples = static_cast<float*>(data);
        const std::size_t frames = bytes / (2 * sizeof(float));
        for (std::size_t i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(0.25 * std::sin(self.phase_));
            self.phase_ = std::fmod(self.phase_ + self.step_, 2.0 * M_PI);
            samples[2 * i] = value;
            samples[2 * i + 1] = value;
        }
        pa_stream_write(stream, data, frames * 2 * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    }

    const double step_;
    double phase_ = 0;
    std::unique_ptr<PulseContext> context_;
    pa_stream* stream_ = nullptr;
};

} // namespace quillmere::testing
