#pragma once
// Whether a program runs for this user, read from /proc: a process whose real user id is the
// helper's own and whose command name (the kernel keeps its first 15 bytes) is the program's
// file name. Other users' processes of the same name do not count. Any thread.

#include <string>

bool userProcessRuns(const std::string &programName);
