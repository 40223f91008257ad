#pragma once
// Preference fallbacks and the per-run temporary folder.
//
// These live in the shell rather than with the main window because core code of every
// subsystem (device link, backups, extraction, messages, media) reads preferences and puts
// its copied and decrypted device files into the temporary folder, and core must not depend
// on the window library.
//
// Lookup rule for every reader: take the object stored in the user defaults; when none is
// stored take getDefault(key); then read it as a bool, integer, real or path. Nothing is
// registered with the user defaults, so an untouched key stays absent.
//
// Threads: everything here may be called from any thread. getDefault has no state;
// getTempDir creates its folder once under tempdirlock, which exists from program start.

#include <QString>
#include <QVariant>

#include <atomic>
#include <mutex>

// The built-in value of a preference key, or an invalid QVariant for keys without one.
QVariant getDefault(const QString &key);

// The stored object, else getDefault(key).
QVariant preferenceValue(const QString &key);
bool preferenceBool(const QString &key);
qint64 preferenceInteger(const QString &key);
double preferenceDouble(const QString &key);

// A folder preference ("ARCHIVE_LOCATION", "TEMP_LOCATION") as stored: the text when it is a
// string naming an absolute path once "~" is expanded (Paths::resolveUserPath). Anything else
// (absent, empty, another type, a relative path) reads as an empty string, so the caller uses
// its default; a stored value that is refused is logged.
QString folderPreference(const QString &key);

// Writes the preference values that must exist from the first launch on (missing keys only,
// except "newStyle", which is set at every start-up). Called once by the main window's start.
void writeStartupDefaults();

// The per-run temporary folder: an absolute path ending in "/". The first call creates it
// (mode 0700, always a new folder, never one that existed before) inside the folder named by
// "TEMP_LOCATION" when that is a usable folder, else inside the system temporary folder.
// Later calls return the same path. Returns an empty string only when no folder could be
// made at all (logged).
QString getTempDir();

// Quit: removes the temporary folder and everything in it, and forgets it.
void deleteTempDir();
// The user moved the temporary location: the next getTempDir() makes a new folder. The old
// folder is left alone.
void forgetTempDir();

// Guards the cached temporary folder; made at program start, never lazily.
extern std::mutex tempdirlock;

// Cached at start-up from "newStyle" (message bubble style).
extern std::atomic<bool> cached_USE_NEW_STYLE;
