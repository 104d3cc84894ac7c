// LeakSanitizer reports memory that fontconfig (Qt's font database) and
// libdbus (Qt's session-bus connection) keep until the process ends. The
// reports concern those libraries, not this code; the window tests and the
// copies of this program they start silence them, and nothing else.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
