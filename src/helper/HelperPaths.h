#pragma once
// Where QuillonHelper looks, by the same XDG rules as Quillon's own Paths (HOME and the XDG_*
// variables at the moment of the call), in plain C++: the helper links no Quillon library.
// Stateless; any thread.

#include <string>
#include <vector>

namespace HelperPaths {

std::string home();
// XDG_DATA_HOME or ~/.local/share; XDG_CONFIG_HOME or ~/.config (relative values are ignored,
// as the XDG rules say).
std::string dataHome();
std::string configHome();
// The application database's folders, most important first: the data home's, then each of
// XDG_DATA_DIRS (default /usr/local/share:/usr/share), each with "/applications".
std::vector<std::string> applicationFolders();
// The autostart folder of the login session.
std::string autostartFolder();
// Where Quillon installs the helper: the data home's "Quillon/QuillonHelper".
std::string installedHelper();
// The lock that keeps a second helper from running: in XDG_RUNTIME_DIR when it is set, else
// a per-user name in /tmp.
std::string lockFile();

// The last path component.
std::string fileName(const std::string &path);
// Everything before the last "/" ("." when there is none).
std::string folderOf(const std::string &path);

} // namespace HelperPaths
