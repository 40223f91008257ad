// Read by the thread sanitizer at start-up in sanitizer builds; an unused function otherwise.
//
// Qt is not built with the sanitizer, and its own locks (futexes) are invisible to it: two
// threads posting events to the main thread (a worker's queued hand-over, the window's own
// resize events) look like a race inside Qt's event queue. Copies made inside Qt are not
// checked; every access of our own code still is.
extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n";
}
