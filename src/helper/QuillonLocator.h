#pragma once
// Finds Quillon in the desktop's application database: the first "quillon.desktop" in the
// application folders (HelperPaths::applicationFolders, most important first) and the program
// its Exec line starts.
//
// The answer tells "gone" apart from "could not tell": only when no entry exists, or the
// program it names does not exist, is Quillon Missing, which is the one answer on which the
// helper removes itself. An entry that cannot be read (no permission, not a regular file, no
// program named) or a program that cannot be looked at is Unreadable. Stateless; any thread.

#include <string>

struct QuillonLocation
{
    enum class Result { Found, Missing, Unreadable };
    Result result = Result::Missing;
    std::string entry;   // the entry file read ("" when none was found)
    std::string program; // the program to start (Found), as the entry names it
    std::string reason;  // why it is Missing or Unreadable, for the log
};

QuillonLocation locateQuillon();

// Reads the program of the desktop entry at `entryPath` and checks it as locateQuillon does.
QuillonLocation locateQuillonAt(const std::string &entryPath);
