// Read by the thread sanitizer at start-up in sanitizer builds; unused functions otherwise.
// Both must stay plain constants: the sanitizer calls them before it can run checked code.
//
// Qt, GLib and the C++ and C libraries are not built with the sanitizer. Their memory
// accesses are invisible to it anyway, but the calls they make into the C library (free,
// memcpy, read, close) are seen, while the atomics and futexes that order those calls are
// not: memory that Qt hands from one thread to another (its event queue, a shared string's
// buffer), or that GLib's own threads free, would be reported as a race. The option below
// makes the sanitizer ignore the memory accesses of such calls when an uninstrumented
// library makes them, and only then; the locks, descriptors and thread starts they use
// still order our code, and every access made by our own code is still checked. Hand-overs
// of our own through Qt's event loop are marked where they are made (platform/QueuedCall.h).
extern "C" const char *__tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}

// Suppressions name frames of Qt and the C library only, never project code: a `race:`
// entry matches a frame of either stack, so a broad one would hide races in our code too.
extern "C" const char *__tsan_default_suppressions()
{
    return "";
}
