#include "platform/ProcessLookup.h"
#include "shell/GetPID.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QFile>

#include <cerrno>
#include <optional>
#include <set>
#include <unistd.h>

namespace {

QByteArray ownCommand()
{
    QFile comm("/proc/self/comm");
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return comm.readAll().trimmed();
}

// The effective user id from /proc; nullopt when the process has ended since (other test
// processes of the same name come and go while ctest runs them in parallel).
std::optional<uid_t> effectiveUidOf(pid_t pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("Uid:"))
            return uid_t(line.mid(4).simplified().split(' ').value(1).toULong());
    }
    return std::nullopt;
}

// A folder laid out like /proc: one sub-folder per process with "status" and "comm".
void addProcess(const TestHome &home, const QString &pid, const QByteArray &comm, uid_t real, uid_t effective)
{
    home.writeFile("proc/" + pid + "/comm", comm + "\n");
    home.writeFile("proc/" + pid + "/status",
                   "Name:\t" + comm + "\nState:\tS (sleeping)\nUid:\t" + QByteArray::number(real) + "\t"
                       + QByteArray::number(effective) + "\t" + QByteArray::number(effective) + "\t"
                       + QByteArray::number(effective) + "\n");
}

} // namespace

TEST(GetPID, FindsThisTestProcessAndOnlyTheUsersOwn)
{
    const QByteArray name = ownCommand();
    ASSERT_FALSE(name.isEmpty());
    pid_t pids[64];
    unsigned int found = 0;
    int error = -1;
    ASSERT_EQ(GetAllPIDsForProcessName(name.constData(), pids, 64, &found, &error), 0);
    EXPECT_EQ(error, 0);
    bool sawSelf = false;
    for (unsigned int i = 0; i < found; ++i) {
        sawSelf |= pids[i] == getpid();
        const auto uid = effectiveUidOf(pids[i]);
        if (uid) {
            EXPECT_EQ(*uid, getuid());
        }
    }
    EXPECT_TRUE(sawSelf);
    EXPECT_GT(GetPIDForProcessName(name.constData()), 0);
    EXPECT_EQ(GetPIDForProcessName("no-such-process"), -1);
}

TEST(GetPID, RefusesMissingArguments)
{
    pid_t pids[4];
    unsigned int found = 7;
    EXPECT_EQ(GetAllPIDsForProcessName(nullptr, pids, 4, &found, nullptr), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("", pids, 4, &found, nullptr), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", nullptr, 4, &found, nullptr), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 0, &found, nullptr), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("x", pids, 4, nullptr, nullptr), -2);
    EXPECT_EQ(GetAllPIDsForProcessName("no-such-process", pids, 4, &found, nullptr), -1);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(GetPIDForProcessName(nullptr), -1);
}

TEST(ProcessLookup, MatchesByUserAndKernelName)
{
    TestHome home;
    const uid_t me = getuid(), other = me + 1;
    addProcess(home, "100", "Quillon", me, me);
    addProcess(home, "101", "Quillon", other, other);      // another user's
    addProcess(home, "102", "Quillon", other, me);         // effective id is ours
    addProcess(home, "103", "Quillon", me, other);         // effective id is theirs
    addProcess(home, "104", "QuillonHelper", me, me);
    addProcess(home, "105", "AppleMobileBack", me, me);    // the kernel's 15 bytes of a longer name
    addProcess(home, "0", "Quillon", me, me);              // not a process
    home.writeFile("proc/self/comm", "Quillon\n");         // not a pid folder
    home.writeFile("proc/106/cmdline", "gone");            // ended while the table was read
    const auto source = ProcessLookup::procTable(home.path() + "/proc");

    struct Case {
        const char *name;
        size_t limit;
        std::set<pid_t> expected;
    } cases[] = {
        {"Quillon", 10, {100, 102}},
        {"QuillonHelper", 10, {104}},
        {"AppleMobileBackup", 10, {105}},
        {"AppleMobileBack", 10, {105}},
        {"AppleMobileBa", 10, {}},
        {"Quill", 10, {}},
        {"nothing", 10, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<pid_t> pids;
        int error = 0;
        ASSERT_EQ(ProcessLookup::findProcesses(c.name, me, c.limit, &pids, &error, source), ProcessLookup::Status::Ok);
        EXPECT_EQ(std::set<pid_t>(pids.begin(), pids.end()), c.expected);
    }
    std::vector<pid_t> one;
    int error = 0;
    ASSERT_EQ(ProcessLookup::findProcesses("Quillon", me, 1, &one, &error, source), ProcessLookup::Status::Ok);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0] == 100 || one[0] == 102);

    EXPECT_EQ(ProcessLookup::findProcesses("Quillon", me, 10, &one, &error,
                                           ProcessLookup::procTable(home.path() + "/no-proc")),
              ProcessLookup::Status::Failed);
    EXPECT_EQ(error, ENOENT);
}

TEST(ProcessLookup, TableReadRetriesOnlyWhileGrowingAndBoundedly)
{
    int counts = 0, reads = 0;
    ProcessLookup::TableSource growing;
    growing.count = [&](size_t *count, int *) {
        ++counts;
        *count = 1;
        return true;
    };
    growing.read = [&](size_t, std::vector<ProcessLookup::Process> *, bool *grew, int *) {
        ++reads;
        *grew = true;
        return true;
    };
    std::vector<ProcessLookup::Process> table;
    int error = 0;
    EXPECT_EQ(ProcessLookup::readTable(&table, &error, growing), ProcessLookup::Status::Failed);
    EXPECT_EQ(error, EAGAIN);
    EXPECT_EQ(counts, ProcessLookup::kMaxTableAttempts);
    EXPECT_EQ(reads, ProcessLookup::kMaxTableAttempts);

    // A read that fails for another reason is not retried.
    reads = 0;
    ProcessLookup::TableSource failing = growing;
    failing.read = [&](size_t, std::vector<ProcessLookup::Process> *, bool *grew, int *e) {
        ++reads;
        *grew = false;
        *e = EIO;
        return false;
    };
    EXPECT_EQ(ProcessLookup::readTable(&table, &error, failing), ProcessLookup::Status::Failed);
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(reads, 1);

    // Growing once, then settling, succeeds.
    reads = 0;
    ProcessLookup::TableSource settling = growing;
    settling.read = [&](size_t, std::vector<ProcessLookup::Process> *out, bool *grew, int *) {
        *grew = ++reads == 1;
        out->push_back({42, 0, "x"});
        return true;
    };
    EXPECT_EQ(ProcessLookup::readTable(&table, &error, settling), ProcessLookup::Status::Ok);
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(table.size(), 1u);
}
