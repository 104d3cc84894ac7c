// What ThreadSanitizer reports inside libraries built without it, each with
// why it is theirs; every test program links this (cmake/QuillmereModule.cmake).
// None names our code: where our work passes between threads through such a
// library, the hand-off is marked instead (Platform/Dispatch/HandOff.h).
// race: matches a frame anywhere in a report; called_from_lib only what the
// library itself asks of the checker (allocations, copies, locks), which is
// the form for Qt's core: its event loop calls our code.
extern "C" const char* __tsan_default_suppressions() {
    return
        // libdbus takes two of its own locks in either order as an Avahi client is made and freed.
        "deadlock:libdbus-1.so.3\n"
        // libpulse makes some of its mutexes on first use and publishes them with its own atomics.
        "race:pa_mutex_lock\n"
        // Qt passes its events and objects between its threads with futexes and atomics of its own.
        "called_from_lib:libQt6Core.so\n"
        // Qt's X11 plugin reads X events on a thread of its own and passes them on the same way.
        "race:libQt6XcbQpa.so\n"
        // GLib, under Qt's event loops, wakes one thread's loop from another through an eventfd.
        "race:libglib-2.0.so\n"
        // x264's threads share its frame buffers among themselves: nothing of ours is in them.
        "called_from_lib:libx264.so\n";
}
