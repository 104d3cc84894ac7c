// ThreadSanitizer reports a lock-order inversion between two of libdbus's
// own locks, both taken inside libdbus while the Avahi client is made and
// freed. The report concerns libdbus, not this code; it is silenced for the
// tests that talk to a D-Bus daemon and nothing else is.
extern "C" const char* __tsan_default_suppressions() { return "deadlock:libdbus-1.so.3\n"; }
