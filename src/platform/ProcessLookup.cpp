#include "ProcessLookup.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <new>

namespace {

bool isPidName(const char *name)
{
    if (!*name)
        return false;
    for (const char *p = name; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
    }
    return true;
}

struct DirCloser
{
    void operator()(DIR *dir) const { closedir(dir); }
};

// Calls `visit` with each numeric entry of `root`; false with *error on a failed read.
template<typename Visit>
bool forEachPid(const QByteArray &root, int *error, Visit visit)
{
    std::unique_ptr<DIR, DirCloser> dir(opendir(root.constData()));
    if (!dir) {
        *error = errno;
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(dir.get());
        if (!entry) {
            if (errno != 0) {
                *error = errno;
                return false;
            }
            return true;
        }
        if (isPidName(entry->d_name) && !visit(entry->d_name))
            return true;
    }
}

// Reads one process's command name and effective uid; false when it is gone or unreadable.
bool readProcess(const QString &folder, pid_t pid, ProcessLookup::Process *out)
{
    QFile status(folder + QStringLiteral("/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = status.read(64 * 1024);
    bool haveName = false, haveUid = false;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("Name:")) {
            // The kernel escapes nothing here but ends the name at the line break.
            out->command = line.mid(5).trimmed().left(ProcessLookup::kCommandLength);
            haveName = true;
        } else if (line.startsWith("Uid:")) {
            // Real, effective, saved and file-system user ids.
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            bool ok = false;
            if (ids.size() >= 2)
                out->effectiveUid = uid_t(ids.at(1).toULong(&ok));
            haveUid = ok;
        }
    }
    // "comm" holds the name exactly (status may escape some characters).
    QFile comm(folder + QStringLiteral("/comm"));
    if (comm.open(QIODevice::ReadOnly)) {
        QByteArray name = comm.read(64);
        if (name.endsWith('\n'))
            name.chop(1);
        out->command = name.left(ProcessLookup::kCommandLength);
        haveName = true;
    }
    out->pid = pid;
    return haveName && haveUid;
}

} // namespace

namespace ProcessLookup {

TableSource procTable(const QString &root)
{
    const QByteArray rootPath = QFile::encodeName(root);
    TableSource source;
    source.count = [rootPath](size_t *count, int *error) {
        size_t n = 0;
        const bool ok = forEachPid(rootPath, error, [&n](const char *) {
            ++n;
            return true;
        });
        *count = n;
        return ok;
    };
    source.read = [root, rootPath](size_t capacity, std::vector<Process> *out, bool *grew, int *error) {
        *grew = false;
        return forEachPid(rootPath, error, [&](const char *name) {
            if (out->size() >= capacity) {
                *grew = true;
                return false;
            }
            Process process;
            const QString folder = root + QLatin1Char('/') + QString::fromLatin1(name);
            if (readProcess(folder, pid_t(std::strtol(name, nullptr, 10)), &process))
                out->push_back(process);
            return true;
        });
    };
    return source;
}

Status readTable(std::vector<Process> *out, int *error, const TableSource &source)
{
    out->clear();
    *error = 0;
    // The table read is retried only when it grew, and only a few times: a table that keeps
    // growing, or a read that keeps failing, must not hold the caller forever.
    for (int attempt = 0; attempt < kMaxTableAttempts; ++attempt) {
        size_t count = 0;
        if (!source.count(&count, error))
            return Status::Failed;
        // Room for a few more, so one new process between the two reads needs no retry.
        const size_t capacity = count + 16;
        try {
            out->clear();
            out->reserve(capacity);
        } catch (const std::bad_alloc &) {
            *error = ENOMEM;
            return Status::OutOfMemory;
        }
        bool grew = false;
        if (!source.read(capacity, out, &grew, error))
            return Status::Failed;
        if (!grew)
            return Status::Ok;
    }
    out->clear();
    *error = EAGAIN;
    return Status::Failed;
}

Status findProcesses(const QByteArray &name, uid_t uid, size_t limit, std::vector<pid_t> *pids, int *error,
                     const TableSource &source)
{
    pids->clear();
    std::vector<Process> table;
    const Status status = readTable(&table, error, source);
    if (status != Status::Ok)
        return status;
    for (const Process &process : table) {
        if (pids->size() >= limit)
            break;
        if (process.pid > 0 && process.effectiveUid == uid && commandMatches(process.command, name))
            pids->push_back(process.pid);
    }
    return Status::Ok;
}

bool commandMatches(const QByteArray &command, const QByteArray &name)
{
    return !name.isEmpty() && command == name.left(kCommandLength);
}

} // namespace ProcessLookup
