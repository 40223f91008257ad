#pragma once
// The process table, read from /proc: which processes run, under which user, by which name.
//
// A table read is a snapshot: the number of entries is counted, room for them is made, and
// the entries are read; when more appeared in between (the table grew) the read starts
// again, at most kMaxTableAttempts times, and then fails instead of looping. Entries whose
// process ends during the read are skipped. Any thread; no shared state.

#include <QByteArray>
#include <QString>

#include <functional>
#include <sys/types.h>
#include <vector>

namespace ProcessLookup {

struct Process
{
    pid_t pid = 0;
    uid_t effectiveUid = 0;
    QByteArray command; // the kernel's command name (at most kCommandLength bytes)
};

// The kernel keeps this many bytes of a command name (16 with the terminating NUL).
constexpr int kCommandLength = 15;
constexpr int kMaxTableAttempts = 4;

enum class Status { Ok, Failed, OutOfMemory };

// Where the table comes from; tests stand in for /proc with their own source.
struct TableSource
{
    // How many entries the table has now.
    std::function<bool(size_t *count, int *error)> count;
    // Reads at most `capacity` entries into `out`; sets *grew when there were more.
    std::function<bool(size_t capacity, std::vector<Process> *out, bool *grew, int *error)> read;
};

// /proc (or a folder laid out like it, for tests).
TableSource procTable(const QString &root = QStringLiteral("/proc"));

// Reads the table; on Failed *error is the system error number (EAGAIN when it kept growing).
Status readTable(std::vector<Process> *out, int *error, const TableSource &source = procTable());

// The ids of `uid`'s processes (by effective user id) whose command matches `name`, at most
// `limit` of them, in table order.
Status findProcesses(const QByteArray &name, uid_t uid, size_t limit, std::vector<pid_t> *pids, int *error,
                     const TableSource &source = procTable());

// True when `command` is what the kernel keeps of `name`: names longer than the kernel's
// limit match on their first kCommandLength bytes.
bool commandMatches(const QByteArray &command, const QByteArray &name);

} // namespace ProcessLookup
