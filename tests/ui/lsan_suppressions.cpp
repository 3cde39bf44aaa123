// fontconfig and libdbus keep their caches for the life of the process and never frees them: not our
// leak, and nothing the tests can release.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
