#include "Platform/AudioCapture/PulseContext.h"

#include "Platform/X11/XcbOpening.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/proplist.h>
#include <pulse/thread-mainloop.h>

namespace quillmere {

namespace {

void signalLoop(pa_context*, void* loop) { pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0); }

bool settled(pa_context_state_t state) {
    return state == PA_CONTEXT_READY || state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

} // namespace

std::expected<std::unique_ptr<PulseContext>, AudioCaptureError> PulseContext::connect(const Options& options) {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (!loop) return std::unexpected(AudioCaptureError::connectionFailed("no main loop"));
    pa_proplist* properties = pa_proplist_new();
    for (const auto& [key, value] : options.properties) pa_proplist_sets(properties, key.c_str(), value.c_str());
    pa_context* context = nullptr;
    {
        // Over ssh with X forwarding, libpulse opens an X connection here to
        // read the server's address from the root window.
        const XcbOpening opening;
        context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), options.applicationName.c_str(),
                                               properties);
    }
    pa_proplist_free(properties);
    if (!context) {
        pa_threaded_mainloop_free(loop);
        return std::unexpected(AudioCaptureError::connectionFailed("no context"));
    }
    // From here the object owns both, and its destructor undoes whatever
    // of the connection happened.
    std::unique_ptr<PulseContext> made(new PulseContext(loop, context));
    pa_context_set_state_callback(context, &signalLoop, loop);
    if (pa_context_connect(context, options.server.empty() ? nullptr : options.server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0) {
        return std::unexpected(AudioCaptureError::connectionFailed(made->lastError()));
    }
    if (pa_threaded_mainloop_start(loop) < 0)
        return std::unexpected(AudioCaptureError::connectionFailed("no main loop thread"));

    Lock lock(*made);
    while (!settled(pa_context_get_state(context))) pa_threaded_mainloop_wait(loop);
    if (pa_context_get_state(context) != PA_CONTEXT_READY)
        return std::unexpected(AudioCaptureError::connectionFailed(made->lastError()));
    return made;
}

PulseContext::~PulseContext() {
    {
        Lock lock(*this);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
}

std::string PulseContext::lastError() const { return pa_strerror(pa_context_errno(context_)); }

PulseContext::Lock::Lock(const PulseContext& context) : loop_(context.loop_) { pa_threaded_mainloop_lock(loop_); }

PulseContext::Lock::~Lock() { pa_threaded_mainloop_unlock(loop_); }

} // namespace quillmere
