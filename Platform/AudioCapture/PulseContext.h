#pragma once

#include "Platform/AudioCapture/AudioCaptureError.h"

#include <expected>
#include <map>
#include <memory>
#include <string>

struct pa_context;
struct pa_threaded_mainloop;

namespace quillmere {

// One connection to the sound server with the thread that serves it (the
// client library's threaded main loop). Every call into the library on this
// context is made with the loop locked, or from the loop's own callbacks.
class PulseContext {
public:
    struct Options {
        // Empty: the user's own server.
        std::string server;
        std::string applicationName = "Quillmere";
        // Properties of the client ("application.process.id", ...), on top
        // of what the library fills in itself.
        std::map<std::string, std::string> properties;
    };

    // Returns once the context is ready, or with why it is not. Never
    // spawns a server.
    static std::expected<std::unique_ptr<PulseContext>, AudioCaptureError> connect(const Options& options);

    // Disconnects and ends the loop's thread; not from that thread.
    ~PulseContext();
    PulseContext(const PulseContext&) = delete;
    PulseContext& operator=(const PulseContext&) = delete;

    pa_context* get() const { return context_; }
    pa_threaded_mainloop* loop() const { return loop_; }
    // The library's text for the context's last error.
    std::string lastError() const;

    // Holds the loop's lock for a scope.
    class Lock {
    public:
        explicit Lock(const PulseContext& context);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

private:
    PulseContext(pa_threaded_mainloop* loop, pa_context* context) : loop_(loop), context_(context) {}

    pa_threaded_mainloop* loop_;
    pa_context* context_;
};

} // namespace quillmere
