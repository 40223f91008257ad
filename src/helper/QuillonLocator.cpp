#include "QuillonLocator.h"

#include "HelperPaths.h"
#include "platform/DesktopEntryReader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxEntrySize = 64 * 1024;

bool isGone(int error)
{
    return error == ENOENT || error == ENOTDIR;
}

QuillonLocation answer(QuillonLocation::Result result, const std::string &entry, std::string reason)
{
    QuillonLocation location;
    location.result = result;
    location.entry = entry;
    location.reason = std::move(reason);
    return location;
}

// A program named without a folder is looked up along PATH, as the launcher would.
std::string searchPath(const std::string &program)
{
    const char *pathVariable = std::getenv("PATH");
    const std::string list = pathVariable ? pathVariable : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string dir = list.substr(start, end - start);
        start = end + 1;
        if (dir.empty() || dir[0] != '/')
            continue;
        const std::string candidate = dir + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

} // namespace

QuillonLocation locateQuillonAt(const std::string &entryPath)
{
    using Result = QuillonLocation::Result;
    // Non-blocking, so a pipe put in the entry's place cannot hold the helper up.
    const int fd = open(entryPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        return answer(isGone(error) ? Result::Missing : Result::Unreadable, isGone(error) ? "" : entryPath,
                      entryPath + ": " + std::strerror(error));
    }
    struct stat info {};
    std::string text;
    bool readable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (readable) {
        char buffer[4096];
        while (text.size() < kMaxEntrySize) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                readable = false;
                break;
            }
            if (got == 0)
                break;
            text.append(buffer, size_t(got));
        }
    }
    close(fd);
    if (!readable)
        return answer(Result::Unreadable, entryPath, entryPath + ": not a readable regular file");

    std::string program = DesktopEntryReader::programOfEntry(text);
    if (program.empty())
        return answer(Result::Unreadable, entryPath, entryPath + ": names no program");
    if (program.find('/') == std::string::npos) {
        const std::string found = searchPath(program);
        if (found.empty())
            return answer(Result::Missing, entryPath, program + ": not found on PATH");
        program = found;
    }
    struct stat programInfo {};
    if (stat(program.c_str(), &programInfo) != 0) {
        const int error = errno;
        return answer(isGone(error) ? Result::Missing : Result::Unreadable, entryPath,
                      program + ": " + std::strerror(error));
    }
    if (!S_ISREG(programInfo.st_mode) || access(program.c_str(), X_OK) != 0)
        return answer(Result::Unreadable, entryPath, program + ": not an executable file");
    QuillonLocation location = answer(Result::Found, entryPath, {});
    location.program = program;
    return location;
}

QuillonLocation locateQuillon()
{
    for (const std::string &folder : HelperPaths::applicationFolders()) {
        QuillonLocation location = locateQuillonAt(folder + "/quillon.desktop");
        // The first entry that exists decides, as the application database's order says.
        if (location.result != QuillonLocation::Result::Missing || !location.entry.empty())
            return location;
    }
    return answer(QuillonLocation::Result::Missing, "", "no quillon.desktop in the application folders");
}
