#include "QuillonLaunch.h"

#include "HelperLog.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

bool launchQuillon(const std::string &program)
{
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0)
        return false;
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    std::string argument0 = program;
    char *argv[] = {argument0.data(), nullptr};
    pid_t pid = 0;
    const int error = posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        helperLog("can't start %s: %s", program.c_str(), std::strerror(error));
        return false;
    }
    helperLog("started %s (process %d)", program.c_str(), int(pid));
    return true;
}
