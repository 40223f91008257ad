#include "TestHome.h"
#include "shell/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
// A lock taken through its own descriptor, as another process would take it.
int lockFrom(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

TEST(SingleInstance, TheLockFileDecidesAndIsHeldForTheRun)
{
    TestHome home;
    const QString folder = home.path() + "/data/Quillon";
    QDir().mkpath(folder);
    const QString lockPath = folder + "/" + SingleInstance::lockFileName();

    const int other = lockFrom(lockPath);
    ASSERT_GE(other, 0);
    EXPECT_EQ(SingleInstance::acquire(folder), SingleInstance::Result::AlreadyRunning);
    ::close(other); // the other copy ended

    EXPECT_EQ(SingleInstance::acquire(folder), SingleInstance::Result::Acquired);
    EXPECT_EQ(lockFrom(lockPath), -1); // held now, so a later copy is refused
    EXPECT_EQ(SingleInstance::acquire(folder), SingleInstance::Result::Acquired);
}
