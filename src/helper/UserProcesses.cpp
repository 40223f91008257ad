#include "UserProcesses.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t kCommandLength = 15;

// A small /proc file read in one go ("" when it cannot be read; the process may have ended).
std::string readProcFile(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[4096];
    std::string text;
    ssize_t got;
    while (text.size() < 64 * 1024 && (got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(got));
    close(fd);
    return text;
}

bool realUidIs(const std::string &status, uid_t uid)
{
    const size_t at = status.find("\nUid:");
    if (at == std::string::npos)
        return false;
    unsigned long real = 0;
    return std::sscanf(status.c_str() + at + 5, "%lu", &real) == 1 && real == uid;
}

} // namespace

bool userProcessRuns(const std::string &programName)
{
    const std::string wanted = programName.substr(0, kCommandLength);
    if (wanted.empty())
        return false;
    DIR *proc = opendir("/proc");
    if (!proc)
        return false;
    const uid_t uid = getuid();
    bool found = false;
    while (const dirent *item = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(item->d_name[0])))
            continue;
        const std::string folder = std::string("/proc/") + item->d_name;
        std::string command = readProcFile(folder + "/comm");
        if (!command.empty() && command.back() == '\n')
            command.pop_back();
        if (command != wanted)
            continue;
        if (realUidIs(readProcFile(folder + "/status"), uid)) {
            found = true;
            break;
        }
    }
    closedir(proc);
    return found;
}
