// Uncaught C++ exceptions: what the registered handlers are told (type, message, the
// throw's frames), and how registering and unregistering keep the terminate handler.
#include "TestWait.h"

#include "telemetry/crashes/VUCrashesCXXExceptionHandler.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <thread>

namespace {

// Sanitizer builds keep the runtime's own __cxa_throw, so no throw records its frames there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kThrowsRecordFrames = false;
#else
constexpr bool kThrowsRecordFrames = true;
#endif

int gPipe = -1;

// What a handler saw, written to the parent through a pipe: type, message, and whether the
// first frame lies in `gExpectedFunction`.
const void *gExpectedFunction = nullptr;

void reportingHandler(const VUCrashesUncaughtCXXExceptionInfo *info)
{
    char line[512];
    const auto first = info->exceptionFramesCount > 0 ? info->exceptionFrames[0] : 0;
    const auto start = reinterpret_cast<uint64_t>(gExpectedFunction);
    const int inFunction = first >= start && first < start + 4096;
    const int n = snprintf(line, sizeof line, "%s|%s|%d|%u", info->exceptionTypeName ? info->exceptionTypeName : "",
                           info->exceptionMessage ? info->exceptionMessage : "(none)", inFunction,
                           info->exceptionFramesCount);
    (void)!write(gPipe, line, size_t(n));
    _exit(0);
}

[[gnu::noinline]] void throwDerived()
{
    struct Failure : std::logic_error
    {
        using std::logic_error::logic_error;
    };
    throw Failure("x");
}

[[gnu::noinline]] void throwInteger()
{
    throw 7;
}

[[gnu::noinline]] void throwAndCatchHere()
{
    try {
        throw 1.5;
    } catch (double) {
    }
}

std::exception_ptr gFromThread;

[[gnu::noinline]] void throwOnThread()
{
    try {
        throw std::runtime_error("from another thread");
    } catch (...) {
        gFromThread = std::current_exception();
    }
}

void rethrowFromOtherThread()
{
    std::thread(throwOnThread).join();
    // This thread's last throw is another object: its frames must not be reported.
    throwAndCatchHere();
    std::rethrow_exception(gFromThread);
}

// Runs `escape` in a child with the reporting handler registered; returns what it reported.
QString uncaughtInChild(const std::function<void()> &escape, const void *expected)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        gPipe = fds[1];
        gExpectedFunction = expected;
        VUCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(reportingHandler);
        // Nothing of the test around it may catch what escapes.
        [&]() noexcept { escape(); }();
        _exit(5);
    }
    close(fds[1]);
    QByteArray report;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return QString::fromUtf8(report);
}

} // namespace

TEST(CXXExceptions, HandlersLearnTypeMessageAndThrowFrames)
{
    const struct
    {
        const char *name;
        std::function<void()> escape;
        const void *thrower;
        const char *type;
        const char *message;
        bool throwFrames;
    } cases[] = {
        {"derived from std::exception", throwDerived, reinterpret_cast<const void *>(&throwDerived), nullptr, "x",
         true},
        {"an integer", throwInteger, reinterpret_cast<const void *>(&throwInteger), "i", "(none)", true},
        {"rethrown from another thread", rethrowFromOtherThread,
         reinterpret_cast<const void *>(&throwAndCatchHere), "St13runtime_error", "from another thread", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QStringList fields = uncaughtInChild(c.escape, c.thrower).split('|');
        ASSERT_EQ(fields.size(), 4) << fields.join('|').toStdString();
        if (c.type)
            EXPECT_EQ(fields[0], c.type);
        else
            EXPECT_TRUE(fields[0].contains("Failure")) << fields[0].toStdString();
        EXPECT_EQ(fields[1], c.message);
        // Thrown here: the first frame is the throwing function's. Rethrown from elsewhere:
        // never the frames of this thread's unrelated last throw.
        EXPECT_EQ(fields[2] == "1", c.throwFrames && kThrowsRecordFrames);
        EXPECT_GT(fields[3].toInt(), 0);
    }
}

namespace {

int gCalls = 0;
void countingHandler(const VUCrashesUncaughtCXXExceptionInfo *) { ++gCalls; }
void otherTerminate() { std::abort(); }
void previousTerminate() { std::abort(); }

} // namespace

TEST(CXXExceptions, RegisteringKeepsThePreviousTerminateHandler)
{
    using Manager = VUCrashesUncaughtCXXExceptionHandlerManager;
    if (Manager::countCXXExceptionHandler() != 0)
        GTEST_SKIP() << "handlers are registered in this process already; ctest runs each case alone";
    std::set_terminate(previousTerminate);
    Manager::addCXXExceptionHandler(countingHandler);
    Manager::addCXXExceptionHandler(countingHandler);
    EXPECT_EQ(Manager::countCXXExceptionHandler(), 2u);
    EXPECT_EQ(std::get_terminate(), VUCrashesUncaughtCXXTerminateHandler);
    Manager::removeCXXExceptionHandler(countingHandler);
    EXPECT_TRUE(Manager::isTerminateHandlerInstalled());
    Manager::removeCXXExceptionHandler(countingHandler);
    EXPECT_EQ(std::get_terminate(), previousTerminate);
    EXPECT_FALSE(Manager::isTerminateHandlerInstalled());

    // Replaced meanwhile by someone else: theirs stays.
    Manager::addCXXExceptionHandler(countingHandler);
    std::set_terminate(otherTerminate);
    Manager::removeCXXExceptionHandler(countingHandler);
    EXPECT_EQ(std::get_terminate(), otherTerminate);
    std::set_terminate(nullptr);
}
