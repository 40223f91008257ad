// The crash report reader on report files made by the protobuf-c encoder: every section read
// back, each missing or malformed part rejected with its own message, and no input, however
// mangled, taken down with it.

#include "CrashReportBuilder.h"
#include "VUCrashReport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

VUCrashReportError readError(const QByteArray &file)
{
    VUCrashReportError error;
    EXPECT_EQ(VUCrashReport::initWithData(file, &error), nullptr);
    return error;
}

TEST(CrashReportReader, ReadsEverySection)
{
    VUCrashReportError error;
    std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(buildReport(), &error);
    ASSERT_NE(report, nullptr) << error.message.toStdString();

    ASSERT_TRUE(report->uuidRef().has_value());
    EXPECT_EQ(report->uuidRef()->toRfc4122().toHex(), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");

    const VUCrashReportSystemInfo &system = report->systemInfo();
    EXPECT_EQ(system.operatingSystem(), 3);
    EXPECT_EQ(system.operatingSystemVersion(), "12.4.0");
    EXPECT_EQ(system.operatingSystemBuild(), QString("6.1.0-13-amd64"));
    EXPECT_EQ(system.architecture(), 1);
    ASSERT_TRUE(system.timestamp().has_value());
    EXPECT_EQ(system.timestamp()->toSecsSinceEpoch(), 1765400000);

    ASSERT_TRUE(report->hasMachineInfo());
    EXPECT_EQ(report->machineInfo()->modelName(), QString("Test Machine"));
    ASSERT_TRUE(report->machineInfo()->processorInfo().has_value());
    EXPECT_EQ(report->machineInfo()->processorInfo()->typeEncoding(), 1);
    EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 0x01000007u);
    EXPECT_EQ(report->machineInfo()->logicalProcessorCount(), 8u);

    EXPECT_EQ(report->applicationInfo().applicationIdentifier(), "org.quillon.Quillon");
    EXPECT_EQ(report->applicationInfo().applicationMarketingVersion(), QString("0.1.0"));

    ASSERT_TRUE(report->hasProcessInfo());
    EXPECT_EQ(report->processInfo()->processID(), 4242u);
    EXPECT_EQ(report->processInfo()->parentProcessName(), QString("bash"));
    EXPECT_EQ(report->processInfo()->processStartTime()->toSecsSinceEpoch(), 1765399000);
    EXPECT_TRUE(report->processInfo()->native());

    EXPECT_EQ(report->signalInfo().name(), "SIGSEGV");
    EXPECT_EQ(report->signalInfo().code(), "SEGV_MAPERR");
    EXPECT_EQ(report->signalInfo().address(), 0x10u);
    EXPECT_FALSE(report->machExceptionInfo().has_value());
    EXPECT_FALSE(report->hasExceptionInfo());

    ASSERT_EQ(report->threads().size(), 2);
    const VUCrashReportThreadInfo &crashed = report->threads()[0];
    EXPECT_TRUE(crashed.crashed());
    ASSERT_EQ(crashed.stackFrames().size(), 2);
    EXPECT_EQ(crashed.stackFrames()[0].instructionPointer(), 0x401234u);
    EXPECT_FALSE(crashed.stackFrames()[0].symbolInfo().has_value());
    ASSERT_TRUE(crashed.stackFrames()[1].symbolInfo().has_value());
    EXPECT_EQ(crashed.stackFrames()[1].symbolInfo()->symbolName(), "plain_function");
    EXPECT_EQ(crashed.stackFrames()[1].symbolInfo()->startAddress(), 0x401000u);
    EXPECT_EQ(crashed.stackFrames()[1].symbolInfo()->endAddress(), 0u);
    ASSERT_EQ(crashed.registers().size(), 2);
    EXPECT_EQ(crashed.registers()[1].registerName(), "rsp");
    EXPECT_EQ(report->threads()[1].threadNumber(), 1);
    EXPECT_TRUE(report->threads()[1].stackFrames().isEmpty());

    ASSERT_EQ(report->images().size(), 2);
    EXPECT_TRUE(report->images()[0].hasImageUUID());
    EXPECT_EQ(report->images()[0].imageUUID(), QString("000102030405060708090a0b0c0d0e0f"));
    EXPECT_EQ(report->images()[0].codeType()->subtype(), 3u);
    EXPECT_FALSE(report->images()[1].hasImageUUID());
    EXPECT_FALSE(report->images()[1].codeType().has_value());
}

TEST(CrashReportReader, ImageForAddressUsesHalfOpenRangesInFileOrder)
{
    std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(buildReport(), nullptr);
    ASSERT_NE(report, nullptr);
    struct Case {
        uint64_t address;
        const char *image;
    } cases[] = {
        {0x3FFFFF, nullptr},
        {0x400000, "/usr/bin/Quillon"},
        {0x401800, "/usr/bin/Quillon"}, // both hold it: the earlier one
        {0x402000, "/usr/lib/libother.so"}, // base + size of the first
        {0x404FFF, "/usr/lib/libother.so"},
        {0x405000, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        const VUCrashReportBinaryImageInfo *image = report->imageForAddress(c.address);
        if (c.image) {
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->imageName(), c.image);
        } else {
            EXPECT_EQ(image, nullptr);
        }
    }
}

TEST(CrashReportReader, OptionalPartsThatAreAbsentOrEdgeValues)
{
    std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(buildReport([](CrashReportParts &p) {
        p.report.report_info = nullptr;
        p.report.machine_info = nullptr;
        p.report.process_info = nullptr;
        p.systemInfo.timestamp = 0;
        p.systemInfo.os_build = nullptr;
        p.systemInfo.has_operating_system = false;
        p.images[0].uuid = {0, p.imageUuid};
        p.symbol.name = nullptr; // a symbol without its name names nothing
        p.codes.assign(255, 7);
        p.machException.has_type = true;
        p.machException.type = 1;
        p.machException.n_codes = p.codes.size();
        p.machException.codes = p.codes.data();
        p.signal.mach_exception = &p.machException;
        p.exception.name = const_cast<char *>("NSRangeException");
        p.exception.reason = const_cast<char *>("index 3 beyond bounds");
        p.report.exception = &p.exception;
    }), nullptr);
    ASSERT_NE(report, nullptr);
    EXPECT_FALSE(report->uuidRef().has_value());
    EXPECT_FALSE(report->hasMachineInfo());
    EXPECT_FALSE(report->hasProcessInfo());
    EXPECT_FALSE(report->systemInfo().timestamp().has_value());
    EXPECT_FALSE(report->systemInfo().operatingSystemBuild().has_value());
    EXPECT_EQ(report->systemInfo().operatingSystem(), 3); // the declared default
    EXPECT_FALSE(report->images()[0].hasImageUUID());
    EXPECT_FALSE(report->threads()[0].stackFrames()[1].symbolInfo().has_value());
    ASSERT_TRUE(report->machExceptionInfo().has_value());
    EXPECT_EQ(report->machExceptionInfo()->codes().size(), 255);
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_FALSE(report->exceptionInfo()->stackFrames().has_value());

    std::unique_ptr<VUCrashReport> early = VUCrashReport::initWithData(
        buildReport([](CrashReportParts &p) { p.systemInfo.timestamp = -86400; }), nullptr);
    ASSERT_NE(early, nullptr);
    EXPECT_EQ(early->systemInfo().timestamp()->date(), QDate(1969, 12, 31));
}

TEST(CrashReportReader, FieldOrderDoesNotMatter)
{
    QByteArray file = buildReport([](CrashReportParts &p) {
        p.exception.name = const_cast<char *>("E");
        p.exception.reason = const_cast<char *>("R");
        p.exception.n_frames = 2;
        p.exception.frames = p.frameList;
        p.report.exception = &p.exception;
    });
    std::unique_ptr<VUCrashReport> forward = VUCrashReport::initWithData(file, nullptr);
    std::unique_ptr<VUCrashReport> reversed = VUCrashReport::initWithData(reorderTopLevelFields(file), nullptr);
    ASSERT_NE(forward, nullptr);
    ASSERT_NE(reversed, nullptr);
    ASSERT_NE(reorderTopLevelFields(file), file);
    EXPECT_EQ(reversed->uuidRef(), forward->uuidRef());
    EXPECT_EQ(reversed->systemInfo().operatingSystemVersion(), forward->systemInfo().operatingSystemVersion());
    EXPECT_EQ(reversed->signalInfo().code(), forward->signalInfo().code());
    ASSERT_EQ(reversed->threads().size(), forward->threads().size());
    EXPECT_EQ(reversed->threads()[0].stackFrames()[1].symbolInfo()->symbolName(), "plain_function");
    ASSERT_EQ(reversed->images().size(), 2);
    EXPECT_EQ(reversed->images()[0].imageName(), forward->images()[0].imageName());
    EXPECT_EQ(reversed->exceptionInfo()->stackFrames()->size(), 2);
}

TEST(CrashReportReader, RejectsWhatIsNotAWholeReport)
{
    struct Case {
        const char *name;
        QByteArray file;
        QString message;
    };
    QByteArray valid = buildReport();
    QByteArray versionTwo = valid;
    versionTwo[7] = 2;
    QByteArray badMagic = valid;
    badMagic[0] = 'V';
    auto change = [](const std::function<void(CrashReportParts &)> &f) { return buildReport(f); };
    Case cases[] = {
        {"empty", QByteArray(), "Could not decode truncated crash log"},
        {"header only", valid.left(8), "Could not decode truncated crash log"},
        {"bad magic", badMagic, "Could not decode invalid crash log header"},
        {"version 2", versionTwo, "Could not decode unsupported crash report version: 2"},
        {"not protobuf", valid.left(8) + QByteArray("\xff\xff\xff\xff", 4), "An unknown error occured decoding the crash report"},
        {"cut mid-message", valid.left(valid.size() - 3), "An unknown error occured decoding the crash report"},
        {"15-byte report uuid", change([](CrashReportParts &p) { p.reportInfo.uuid.len = 15; }),
         "Report UUID value is not a standard 16 bytes"},
        {"no system info", change([](CrashReportParts &p) { p.report.system_info = nullptr; }),
         "Crash report is missing System Information section"},
        {"no os version", change([](CrashReportParts &p) { p.systemInfo.os_version = nullptr; }),
         "Crash report is missing System Information OS version field"},
        {"no application version", change([](CrashReportParts &p) { p.applicationInfo.version = nullptr; }),
         "Crash report is missing Application Information app version field"},
        {"no signal", change([](CrashReportParts &p) { p.report.signal = nullptr; }),
         "Crash report is missing Signal Information section"},
        {"no signal code", change([](CrashReportParts &p) { p.signal.code = nullptr; }),
         "Crash report is missing signal code field"},
        {"256 mach codes",
         change([](CrashReportParts &p) {
             p.codes.assign(256, 1);
             p.machException.n_codes = 256;
             p.machException.codes = p.codes.data();
             p.signal.mach_exception = &p.machException;
         }),
         "Crash report includes too many Mach Exception codes"},
        {"no threads", change([](CrashReportParts &p) { p.report.n_threads = 0; }),
         "Crash report is missing thread state information"},
        {"register without name", change([](CrashReportParts &p) { p.registers[1].name = nullptr; }),
         "Missing register name in register value"},
        {"no images", change([](CrashReportParts &p) { p.report.n_binary_images = 0; }),
         "Crash report is missing binary image information"},
        {"image without name", change([](CrashReportParts &p) { p.images[1].name = nullptr; }),
         "Missing image name in image record"},
        {"exception without reason",
         change([](CrashReportParts &p) {
             p.exception.name = const_cast<char *>("E");
             p.report.exception = &p.exception;
         }),
         "Crash report is missing exception reason field"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        VUCrashReportError error = readError(c.file);
        EXPECT_EQ(error.domain, "VUCrashReporterErrorDomain");
        EXPECT_EQ(error.code, 2);
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(VUCrashReport::initWithData(c.file, nullptr), nullptr); // no error wanted: still refused
    }
}

TEST(CrashReportReader, MangledReportsNeverTakeTheReaderDown)
{
    QByteArray valid = buildReport([](CrashReportParts &p) {
        p.exception.name = const_cast<char *>("E");
        p.exception.reason = const_cast<char *>("R");
        p.exception.n_frames = 2;
        p.exception.frames = p.frameList;
        p.report.exception = &p.exception;
    });
    std::mt19937 random(19);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray file = valid;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            qsizetype at = 8 + static_cast<qsizetype>(random() % static_cast<uint32_t>(file.size() - 8));
            switch (random() % 3) {
            case 0: file[at] = static_cast<char>(random()); break;
            case 1: file.truncate(std::max<qsizetype>(9, at)); break;
            default: file.insert(at, static_cast<char>(random())); break;
            }
        }
        VUCrashReportError error;
        std::unique_ptr<VUCrashReport> report = VUCrashReport::initWithData(file, &error);
        if (report) {
            ++accepted;
            EXPECT_FALSE(report->threads().isEmpty());
            EXPECT_FALSE(report->images().isEmpty());
        } else {
            EXPECT_EQ(error.code, 2);
        }
    }
    EXPECT_GT(accepted, 0);
}

} // namespace
