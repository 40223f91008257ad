// Reports the crash engine writes, read back by the reader: a crashed child's report with
// every section, a library the child loaded after enabling among its images, and frame
// symbols named as dladdr names them.

#include "VUCrashReport.h"
#include "VUCrashReportFormat.h"
#include "VUCrashReporter.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <QFile>
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" __attribute__((noinline)) void crashreport_test_crash_here(volatile int *where)
{
    *where = 1;
}

namespace {

constexpr const char *kIdentifier = "org.quillon.crashreport-tests";

TEST(ReportRoundTrip, CrashedChildReportReadsBackWithEverySection)
{
    QTemporaryDir cache;
    ASSERT_TRUE(cache.isValid());
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        setenv("XDG_CACHE_HOME", cache.path().toLocal8Bit().constData(), 1);
        VUCrashReporter reporter(kIdentifier, "7", "0.7", VUCrashReporterConfig(0, 1));
        if (!reporter.enableCrashReporter(nullptr))
            _exit(3);
        // Loaded behind the image list's back, after enabling.
        if (!dlopen("libsqlite3.so.0", RTLD_NOW))
            _exit(4);
        crashreport_test_crash_here(nullptr);
        _exit(5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);

    QFile file(cache.path() + "/" + VUCRASH_REPORTER_DATA_DIRECTORY + "/" + kIdentifier + "/" +
               VUCRASH_LIVE_REPORT_FILE_NAME);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    VUCrashReportError error;
    std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(file.readAll(), &error);
    ASSERT_NE(report, nullptr) << error.message.toStdString();

    EXPECT_TRUE(report->uuidRef().has_value());
    EXPECT_FALSE(report->systemInfo().operatingSystemVersion().isEmpty());
    EXPECT_TRUE(report->systemInfo().timestamp().has_value());
    EXPECT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), kIdentifier);
    EXPECT_EQ(report->applicationInfo().applicationVersion(), "7");
    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID(), static_cast<uint64_t>(child));
    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo().address(), 0u);

    const VUCrashReportThreadInfo *crashed = nullptr;
    for (const VUCrashReportThreadInfo &thread : report->threads())
        if (thread.crashed())
            crashed = &thread;
    ASSERT_NE(crashed, nullptr);
    EXPECT_FALSE(crashed->registers().isEmpty());
    ASSERT_FALSE(crashed->stackFrames().isEmpty());
    const VUCrashReportStackFrameInfo &top = crashed->stackFrames().first();
    ASSERT_TRUE(top.symbolInfo().has_value());
    EXPECT_EQ(top.symbolInfo()->symbolName(), "crashreport_test_crash_here");
    EXPECT_EQ(top.symbolInfo()->startAddress(), reinterpret_cast<uint64_t>(&crashreport_test_crash_here));
    const VUCrashReportBinaryImageInfo *holder = report->imageForAddress(top.instructionPointer());
    ASSERT_NE(holder, nullptr);
    EXPECT_TRUE(holder->hasImageUUID());

    bool sawSqlite = false;
    for (const VUCrashReportBinaryImageInfo &image : report->images())
        sawSqlite |= image.imageName().contains("libsqlite3.so");
    EXPECT_TRUE(sawSqlite);
}

TEST(ReportRoundTrip, LiveReportNamesFramesAsDladdrDoes)
{
    VUCrashReporter reporter(kIdentifier, "7", nullptr, VUCrashReporterConfig(0, 1));
    VUCrashReportData data{};
    VUCrashReporterError writeError{};
    ASSERT_TRUE(reporter.generateLiveReport(&data, &writeError)) << writeError.description;
    QByteArray bytes(reinterpret_cast<const char *>(data.bytes), static_cast<qsizetype>(data.length));
    free(data.bytes);

    VUCrashReportError error;
    std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(bytes, &error);
    ASSERT_NE(report, nullptr) << error.message.toStdString();
    const VUCrashReportThreadInfo *crashed = nullptr;
    for (const VUCrashReportThreadInfo &thread : report->threads())
        if (thread.crashed())
            crashed = &thread;
    ASSERT_NE(crashed, nullptr);

    int named = 0;
    for (const VUCrashReportStackFrameInfo &frame : crashed->stackFrames()) {
        Dl_info info{};
        bool hasName = dladdr(reinterpret_cast<void *>(frame.instructionPointer()), &info) && info.dli_sname;
        SCOPED_TRACE(hasName ? info.dli_sname : "(no name)");
        ASSERT_EQ(frame.symbolInfo().has_value(), hasName);
        if (!hasName)
            continue;
        ++named;
        EXPECT_EQ(frame.symbolInfo()->symbolName(), info.dli_sname);
        EXPECT_EQ(frame.symbolInfo()->startAddress(), reinterpret_cast<uint64_t>(info.dli_saddr));
    }
    EXPECT_GE(named, 3);
}

} // namespace
