#include "HelperRemoval.h"

#include "HelperLog.h"
#include "HelperPaths.h"
#include "platform/DesktopEntryReader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMaxEntrySize = 64 * 1024;

bool endsWith(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string readEntry(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return {};
    std::string text;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        char buffer[4096];
        ssize_t got;
        while (text.size() < kMaxEntrySize && (got = read(fd, buffer, sizeof buffer)) > 0)
            text.append(buffer, size_t(got));
    }
    close(fd);
    return text;
}

} // namespace

std::string firstAutostartEntryFor(const std::string &autostartFolder, const std::string &programName)
{
    DIR *dir = opendir(autostartFolder.c_str());
    if (!dir)
        return {};
    std::vector<std::string> names;
    while (const dirent *item = readdir(dir)) {
        const std::string name = item->d_name;
        if (endsWith(name, ".desktop"))
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string path = autostartFolder + "/" + name;
        const std::string program = DesktopEntryReader::programOfEntry(readEntry(path));
        if (!program.empty() && HelperPaths::fileName(program) == programName)
            return path;
    }
    return {};
}

void removeHelper()
{
    const std::string entry = firstAutostartEntryFor(HelperPaths::autostartFolder(), "QuillonHelper");
    if (!entry.empty() && unlink(entry.c_str()) != 0)
        helperLog("can't remove the login entry %s: %s", entry.c_str(), std::strerror(errno));
    const std::string helper = HelperPaths::installedHelper();
    if (unlink(helper.c_str()) != 0 && errno != ENOENT)
        helperLog("can't remove %s: %s", helper.c_str(), std::strerror(errno));
}
