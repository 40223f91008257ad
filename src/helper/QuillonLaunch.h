#pragma once
// Starts Quillon: the program by its path with no arguments and no shell, in a session of
// its own (the helper exits right after), with the helper's environment. Main thread.

#include <string>

// True when the program was started (it could be executed).
bool launchQuillon(const std::string &program);
