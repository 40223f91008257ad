#pragma once
// Reads the program a desktop entry (a ".desktop" file of the application database or of the
// autostart folder) starts, in plain C++ with no Qt, so that Quillon's login-item handling
// and QuillonHelper, which links no Quillon library, read entries by one rule.
//
// Only the "[Desktop Entry]" group counts. The Exec value is unescaped as the entry format
// says (\s \n \t \r \\), then its first argument is taken: quoted with backslash escapes, or
// up to the first space; "%%" stands for a percent sign. A hidden entry (Hidden=true) starts
// nothing. Stateless and thread-safe.

#include <string>
#include <string_view>

namespace DesktopEntryReader {

// The program of the entry's Exec line; empty when there is none, it is unterminated, or the
// entry is hidden.
std::string programOfEntry(std::string_view entry);

} // namespace DesktopEntryReader
