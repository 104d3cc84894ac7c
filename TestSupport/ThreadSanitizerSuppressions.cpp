// What ThreadSanitizer reports inside libraries built without it, each with
// why it is theirs; every test program links this (cmake/QuillmereModule.cmake).
// None names our code: where our work passes between threads through such a
// library, the hand-off is marked instead (Platform/Dispatch/HandOff.h).
// race: and deadlock: match a frame anywhere in any stack of a report;
// called_from_lib only what the library itself asks of the checker
// (allocations, copies, locks), which is the form for Qt's core: its event
// loop calls our code. RaceCheckerCanaryTests fails once this list hides a
// race against work on the main queue.
extern "C" const char* __tsan_default_suppressions() {
    return
        // libpulse makes some of its mutexes on first use and publishes them with its own atomics.
        "race:pa_mutex_lock\n"
        // Qt passes its events and objects between its threads with futexes and atomics of its own.
        "called_from_lib:libQt6Core.so\n"
        // Qt's X11 plugin frees on the GUI thread the events and replies libxcb made on the plugin's
        // reading thread, passed on through its own lock-free queue. Not called_from_lib: libxcb's
        // unlocks end in tail calls, which would count as the plugin's and be lost.
        "race:libQt6XcbQpa.so\n"
        // GLib makes each Qt thread's wake-up eventfd on that thread; another thread writes to it
        // once Qt has handed over the thread's loop by its own means.
        "race:libglib-2.0.so\n"
        // x264's threads share its frame buffers among themselves: nothing of ours is in them.
        "called_from_lib:libx264.so\n"
        // glibc keeps the time zone it read under a lock of its own (tzset_lock), which the checker
        // does not see: Qt asks for local times on the threads that save settings and on the main one.
        "race:tzset_internal\n"
#if defined(QUILLMERE_AVAHI_CLIENTS)
        // Programs that make Avahi clients only. libdbus makes a connection holding a global lock
        // and takes the connection's lock inside it; dbus_connection_close takes the two the other
        // way round. No other thread can hold a connection's lock while it is being made, so the
        // cycle never closes. The report's other frames are in functions libdbus does not export
        // (_dbus_connection_new_for_transport, _dbus_lock): it has no name for them to match.
        "deadlock:dbus_connection_close\n"
#endif
        ;
}

// Both stacks of each edge of a lock cycle: dbus_connection_close, above, is
// only in the second.
extern "C" const char* __tsan_default_options() { return "second_deadlock_stack=1"; }
