#include "HelperPaths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace {

std::string absoluteVariable(const char *name)
{
    const char *value = std::getenv(name);
    if (!value || value[0] != '/')
        return {};
    return value;
}

} // namespace

namespace HelperPaths {

std::string home()
{
    if (const char *value = std::getenv("HOME"); value && value[0])
        return value;
    if (const passwd *entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

std::string dataHome()
{
    const std::string value = absoluteVariable("XDG_DATA_HOME");
    return value.empty() ? home() + "/.local/share" : value;
}

std::string configHome()
{
    const std::string value = absoluteVariable("XDG_CONFIG_HOME");
    return value.empty() ? home() + "/.config" : value;
}

std::vector<std::string> applicationFolders()
{
    std::vector<std::string> folders{dataHome() + "/applications"};
    const char *dirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dirs && dirs[0] ? dirs : "/usr/local/share:/usr/share";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string dir = list.substr(start, end - start);
        if (!dir.empty() && dir[0] == '/')
            folders.push_back(dir + "/applications");
        start = end + 1;
    }
    return folders;
}

std::string autostartFolder()
{
    return configHome() + "/autostart";
}

std::string installedHelper()
{
    return dataHome() + "/Quillon/QuillonHelper";
}

std::string lockFile()
{
    const std::string runtime = absoluteVariable("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return runtime + "/QuillonHelper.lock";
    return "/tmp/QuillonHelper-" + std::to_string(getuid()) + ".lock";
}

std::string fileName(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace HelperPaths
