#pragma once
// Process-wide flags set once when the main window class loads, before any other thread
// exists. The design branches on host system versions; Quillon runs on one kind of system,
// so every version flag reads YES and local backup decryption is always available.

#include <QString>

#include <atomic>

extern std::atomic<bool> OS105, OS106, OS107, OS108, OS109, OS1010, OS1011, OS1014, OS1015;
extern std::atomic<bool> HASDECRYPT;
// The emoji conversion choice ("NOCONVERT"), read once at start.
extern std::atomic<bool> gAvoidGlyphRangeForTextContainer;

// Sets the flags above; called by the main window's class load.
void setSystemFlags();
// "major.minor.patch" of the running system (0 for parts it does not give).
QString systemVersionString();
