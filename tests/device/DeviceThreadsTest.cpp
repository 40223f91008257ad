#include "device/DeviceThreads.h"

#include <QFile>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <sys/resource.h>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define QUILLON_SANITIZER_BUILD 1
#endif

namespace {

// Caps the address space a little above what the process uses now, so that a new thread's
// stack cannot be mapped, as under a memory cap set by the user's session.
bool capAddressSpaceNearCurrentUse()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith("VmSize:"))
            continue;
        const qint64 kib = line.mid(7).trimmed().split(' ').value(0).toLongLong();
        const rlim_t cap = rlim_t(kib + 2048) * 1024;
        const rlimit limit{cap, cap};
        return kib > 0 && ::setrlimit(RLIMIT_AS, &limit) == 0;
    }
    return false;
}

} // namespace

TEST(DeviceThreads, AThreadThatCannotBeCreatedIsDroppedNotFatal)
{
#ifdef QUILLON_SANITIZER_BUILD
    GTEST_SKIP() << "sanitizers reserve address space that the cap would take away";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (!capAddressSpaceNearCurrentUse())
                std::_Exit(2);
            std::atomic<int> rounds{0};
            {
                DeviceThreads threads;
                threads.startEndless([&] { ++rounds; }, [] { return 10; });
                threads.detach([&] { ++rounds; });
                threads.stop();
            }
            // Neither thread could start, and nothing threw or aborted.
            std::_Exit(rounds.load() == 0 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
