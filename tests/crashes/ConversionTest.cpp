// Crash reports turned into crash logs and error reports: on report files built field by
// field, and on a report the engine itself writes for this process.
#include "CrashReportBuilder.h"
#include "TelemetryTestSupport.h"

#include "VUCrashReporter.h"
#include "telemetry/crashes/VUErrorLogFormatter.h"
#include "telemetry/crashes/VUMachOLoadCommands.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cstdlib>
#include <cstring>

namespace {

std::unique_ptr<VUCrashReport> decode(const QByteArray &file)
{
    VUCrashReportError error;
    auto report = VUCrashReport::initWithData(file, &error);
    EXPECT_TRUE(report) << error.message.toStdString();
    return report;
}

std::unique_ptr<VUCrashReport> report(const std::function<void(CrashReportParts &)> &change = {})
{
    return decode(buildReport(change));
}

QJsonObject json(const VUModel &model)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(model.serializeToDictionary().dump())).object();
}

std::shared_ptr<VUAppleErrorLog> convert(const std::function<void(CrashReportParts &)> &change = {})
{
    auto r = report(change);
    return r ? VUErrorLogFormatter::errorLogFromCrashReport(*r) : nullptr;
}

} // namespace

TEST(CrashConversion, CrashTimesEndInTheLastMillisecond)
{
    // Whole seconds gain 0.999 s, also past 2038.
    for (uint64_t seconds : {uint64_t(1600000000), uint64_t(4102444800)}) {
        SCOPED_TRACE(seconds);
        const auto log = convert([&](CrashReportParts &p) { p.systemInfo.timestamp = seconds; });
        ASSERT_TRUE(log && log->timestamp);
        EXPECT_EQ(log->timestamp->toMSecsSinceEpoch(), qint64(seconds) * 1000 + 999);
        const auto errorReport = VUErrorLogFormatter::errorReportFromLog(*log);
        EXPECT_EQ(errorReport->appErrorTime(), log->timestamp);
        EXPECT_EQ(errorReport->incidentIdentifier(), log->errorId);
    }
}

TEST(CrashConversion, AFullReportBecomesAValidCrashLog)
{
    const auto log = convert([](CrashReportParts &p) {
        // The executable's image carries a subtype of its own; the last Mach image decides.
        p.imageProcessor.subtype = 8;
    });
    ASSERT_TRUE(log);
    EXPECT_TRUE(log->isValid());
    EXPECT_EQ(log->errorId, "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    EXPECT_EQ(log->processId, 4242u);
    EXPECT_EQ(log->processName, "Quillon");
    EXPECT_EQ(log->parentProcessName, "bash");
    EXPECT_EQ(log->parentProcessId, 1u);
    EXPECT_EQ(log->applicationPath, "/usr/bin/Quillon");
    EXPECT_TRUE(log->fatal);
    EXPECT_EQ(log->errorThreadId, 0);
    EXPECT_EQ(log->primaryArchitectureId, 16777223u);
    EXPECT_EQ(log->architectureVariantId, 8u);
    EXPECT_EQ(log->osExceptionType, "SIGSEGV");
    EXPECT_EQ(log->osExceptionCode, "SEGV_MAPERR");
    EXPECT_EQ(log->osExceptionAddress, "0x10");
    EXPECT_EQ(log->appLaunchTimestamp->toSecsSinceEpoch(), 1765399000);
    EXPECT_FALSE(log->exceptionType);
    EXPECT_FALSE(log->selectorRegisterValue);
    EXPECT_TRUE(log->device);

    ASSERT_EQ(log->threads->size(), 2);
    const auto &crashed = log->threads->at(0);
    EXPECT_EQ(crashed->frames->at(0)->address, "0x0000000000401234");
    // Every image here is outside an application folder: a symbol wins, else base + offset.
    EXPECT_EQ(crashed->frames->at(0)->code, "0x400000 + 4660");
    EXPECT_EQ(crashed->frames->at(1)->code, "plain_function + 16");
    EXPECT_FALSE(crashed->exception);
    EXPECT_EQ(log->registers->value("rip"), "0x0000000000401234");
    EXPECT_EQ(log->registers->value("rsp"), "0x000000007ffd0000");

    // Both images are referenced by a frame; sorted by base.
    ASSERT_EQ(log->binaries->size(), 2);
    const auto &exe = log->binaries->at(0);
    EXPECT_EQ(exe->binaryId, "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(exe->startAddress, "0x0000000000400000");
    EXPECT_EQ(exe->endAddress, "0x0000000000401fff");
    EXPECT_EQ(exe->name, "Quillon");
    EXPECT_EQ(exe->architectureVariantId, 8u);
    EXPECT_EQ(log->binaries->at(1)->binaryId, "???");
    EXPECT_EQ(log->binaries->at(1)->architectureVariantId, 0u);
    EXPECT_EQ(log->binaries->at(1)->primaryArchitectureId, 16777223u);
}

TEST(CrashConversion, CodeTypesAndAddressWidths)
{
    // ARMv7 without processor information: 32-bit addresses, no Mach type, so invalid.
    const auto arm = convert([](CrashReportParts &p) {
        p.systemInfo.architecture = VUCRASH__ARCHITECTURE__ARMV7;
        p.images[0].code_type = nullptr;
    });
    ASSERT_TRUE(arm);
    EXPECT_EQ(arm->threads->at(0)->frames->at(0)->address, "0x00401234");
    EXPECT_FALSE(arm->primaryArchitectureId);
    EXPECT_FALSE(json(*arm).contains("primaryArchitectureId"));
    EXPECT_FALSE(arm->isValid());
    EXPECT_EQ(arm->binaries->at(0)->primaryArchitectureId, 12u);

    const struct
    {
        int architecture;
        std::optional<quint64> type;
    } table[] = {{0, 7}, {1, 16777223}, {2, 12}, {3, 18}, {4, std::nullopt}, {5, 12}, {6, std::nullopt}};
    for (const auto &row : table) {
        SCOPED_TRACE(row.architecture);
        const auto r = report([&](CrashReportParts &p) {
            p.systemInfo.architecture = static_cast<Vucrash__Architecture>(row.architecture);
            p.images[0].code_type = nullptr;
        });
        EXPECT_EQ(VUErrorLogFormatter::extractCodeTypeFromReport(*r), row.type);
    }
    EXPECT_TRUE(VUErrorLogFormatter::isCodeType64bit(0x0100000C));
    EXPECT_FALSE(VUErrorLogFormatter::isCodeType64bit(std::nullopt));
    EXPECT_EQ(VUErrorLogFormatter::formatAddress(0x123456789abcdef0ull, false), "0x123456789abcdef0");
}

TEST(CrashConversion, MissingSectionsGiveDefaults)
{
    const auto log = convert([](CrashReportParts &p) {
        p.report.process_info = nullptr;
        p.threads[0].crashed = false;
    });
    ASSERT_TRUE(log);
    EXPECT_EQ(log->processId, 0u);
    EXPECT_EQ(log->processName, "???");
    EXPECT_EQ(log->applicationPath, "???");
    EXPECT_FALSE(log->parentProcessId);
    EXPECT_EQ(log->errorThreadId, 0);
    EXPECT_TRUE(log->registers->isEmpty());
    EXPECT_TRUE(json(*log).value("registers").isObject());
    // Launch time falls back to the report's own time.
    EXPECT_EQ(log->appLaunchTimestamp->toSecsSinceEpoch(), 1765400000);

    // Without a report UUID the log and its report still share one id.
    const auto r = report([](CrashReportParts &p) { p.reportInfo.has_uuid = false; });
    const auto noUuid = VUErrorLogFormatter::errorLogFromCrashReport(*r);
    EXPECT_TRUE(QUuid::fromString(*noUuid->errorId).isNull() == false);
    EXPECT_EQ(VUErrorLogFormatter::errorReportFromLog(*noUuid)->incidentIdentifier(), noUuid->errorId);
}

TEST(CrashConversion, ImagesKeptAreThoseReferenced)
{
    const auto log = convert([](CrashReportParts &p) {
        // An image of size 0 at 0x500000 is referenced by that very address alone.
        p.images[1].base_address = 0x500000;
        p.images[1].size = 0;
        p.registers[1].value = 0x500000;
    });
    ASSERT_TRUE(log);
    ASSERT_EQ(log->binaries->size(), 2);
    EXPECT_EQ(log->binaries->at(1)->startAddress, "0x0000000000500000");
    EXPECT_EQ(log->binaries->at(1)->endAddress, "0x0000000000500000");

    const auto unreferenced = convert([](CrashReportParts &p) {
        p.images[1].base_address = 0x500000;
        p.images[1].size = 0;
        p.registers[1].value = 0x500001;
    });
    ASSERT_EQ(unreferenced->binaries->size(), 1);
    EXPECT_EQ(unreferenced->binaries->at(0)->name, "Quillon");
}

TEST(CrashConversion, PathsHideTheUserName)
{
    const QString home = QDir::cleanPath(QDir::homePath());
    const QString hidden = home.left(home.lastIndexOf('/') + 1) + "USER";
    const struct
    {
        QString path;
        QString expected;
    } cases[] = {
        {"/Users/a/x/Users/b/y", "/Users/USER/x/Users/USER/y"},
        {"/Volumes/Users/x", ""},
        {"/Applications/x.app/Contents/MacOS/x", "/Applications/x.app/Contents/MacOS/x"},
        {"", ""},
        {"/usr/lib/libc.so.6", "/usr/lib/libc.so.6"},
        {home + "/build/Quillon", hidden + "/build/Quillon"},
        {home + "2/x", home + "2/x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        EXPECT_EQ(VUErrorLogFormatter::anonymizedPathFromPath(c.path), c.expected);
    }
}

TEST(CrashConversion, ImageKinds)
{
    const QString process = "/Applications/x.app/Contents/MacOS/x";
    const struct
    {
        std::optional<QString> image;
        qint64 kind;
    } cases[] = {
        {process, 0},
        {QString("/Applications/X.app/Contents/Frameworks/F.framework/F"), 1},
        {QString("/Applications/x.app/Contents/Frameworks/libswiftCore.dylib"), 2},
        {QString("/usr/lib/libSystem.B.dylib"), 2},
        {QString("/Applications/y.app/Contents/Frameworks/G.framework/G"), 1},
        {std::nullopt, 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.image.value_or("(nil)").toStdString());
        EXPECT_EQ(VUErrorLogFormatter::imageTypeForImagePath(c.image, process), c.kind);
    }
}

TEST(CrashConversion, SymbolPrefixesByOperatingSystem)
{
    const auto withOs = [](int os) {
        return report([os](CrashReportParts &p) {
            p.systemInfo.operating_system = static_cast<Vucrash__CrashReport__SystemInfo__OperatingSystem>(os);
            p.symbol.name = const_cast<char *>("_objc_msgSend");
            p.symbol.start_address = 0x401000 - 4;
        });
    };
    {
        RecordingLogHandler log(VULogLevelWarning);
        const auto r = withOs(0); // the other system's desktop
        EXPECT_EQ(VUErrorLogFormatter::formatStackFrame(r->threads()[0].stackFrames()[1], *r), "_objc_msgSend + 20");
        EXPECT_EQ(log.lines().filter("Symbol prefix rules are unknown for this OS!").size(), 1);
    }
    {
        RecordingLogHandler log(VULogLevelWarning);
        const auto r = withOs(2); // the simulator
        EXPECT_EQ(VUErrorLogFormatter::formatStackFrame(r->threads()[0].stackFrames()[1], *r), "objc_msgSend + 20");
        EXPECT_TRUE(log.lines().isEmpty());
    }
    // A frame in the application's own executable keeps base and offset, symbol or not.
    const auto app = report([](CrashReportParts &p) {
        p.processInfo.process_path = const_cast<char *>("/Applications/x.app/Contents/MacOS/x");
        p.images[0].name = const_cast<char *>("/Applications/x.app/Contents/MacOS/x");
        p.images[0].base_address = 0x100000000;
        p.frames[1].pc = 0x100000000 + 4660;
        p.images[1].base_address = 0x200000000;
    });
    EXPECT_EQ(VUErrorLogFormatter::formatStackFrame(app->threads()[0].stackFrames()[1], *app), "0x100000000 + 4660");
    // Outside every image: 0x0 + 0.
    const auto nowhere = report([](CrashReportParts &p) { p.frames[0].pc = 0x10; });
    EXPECT_EQ(VUErrorLogFormatter::formatStackFrame(nowhere->threads()[0].stackFrames()[0], *nowhere), "0x0 + 0");
}

TEST(CrashConversion, UncaughtExceptionsGoOnTheCrashedThread)
{
    static char name[] = "std::runtime_error";
    static char reason[] = "boom";
    const auto withException = [](size_t frames) {
        return convert([frames](CrashReportParts &p) {
            p.exception.name = name;
            p.exception.reason = reason;
            p.exception.n_frames = frames;
            p.exception.frames = p.frameList;
            p.report.exception = &p.exception;
        });
    };
    const auto log = withException(2);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->exceptionType, "std::runtime_error");
    EXPECT_EQ(log->exceptionReason, "boom");
    ASSERT_EQ(log->threads->size(), 2);
    const auto exception = log->threads->at(0)->exception;
    ASSERT_TRUE(exception);
    EXPECT_EQ(exception->type, "std::runtime_error");
    EXPECT_EQ(exception->message, "boom");
    ASSERT_EQ(exception->frames->size(), 2);
    EXPECT_EQ(json(*exception->frames->at(0)), QJsonDocument::fromJson(R"({"address": "0x0000000000401234"})").object());
    EXPECT_FALSE(log->threads->at(1)->exception);

    const auto bare = withException(0);
    EXPECT_EQ(bare->exceptionType, "std::runtime_error");
    for (const auto &thread : *bare->threads)
        EXPECT_FALSE(thread->exception);
}

TEST(CrashConversion, AnEngineReportOfThisProcessIsValid)
{
    // The engine's own report: ELF images must come out with Mach code types and 16-byte ids.
    VUCrashReporter reporter("org.quillon.conversion-test", "1", "1.0");
    VUCrashReportData data = {};
    VUCrashReporterError error = {};
    ASSERT_TRUE(reporter.generateLiveReport(&data, &error)) << error.description;
    const QByteArray bytes(reinterpret_cast<const char *>(data.bytes), qsizetype(data.length));
    std::free(data.bytes);
    const auto r = decode(bytes);
    ASSERT_TRUE(r);
    const auto log = VUErrorLogFormatter::errorLogFromCrashReport(*r);
    EXPECT_TRUE(log->isValid());
    EXPECT_EQ(log->primaryArchitectureId, 16777223u);
    EXPECT_EQ(log->architectureVariantId, 3u);
    EXPECT_EQ(log->processId, quint64(getpid()));
    ASSERT_FALSE(log->binaries->isEmpty());
    const QRegularExpression hex32("^[0-9a-f]{32}$");
    int withId = 0;
    for (const auto &binary : *log->binaries) {
        EXPECT_TRUE(binary->isValid());
        if (hex32.match(*binary->binaryId).hasMatch())
            ++withId;
    }
    EXPECT_GT(withId, 0);
    EXPECT_FALSE(log->threads->isEmpty());
    EXPECT_EQ(log->threads->at(0)->frames->at(0)->address->size(), 18);
}

TEST(CrashConversion, MachOLoadCommandsAreWalkedWithinBounds)
{
    // A 64-bit header followed by commands; sizes are patched per case.
    const auto header = [](uint32_t ncmds, uint32_t sizeofcmds) {
        QByteArray bytes(32, '\0');
        const uint32_t fields[] = {0xfeedfacf, 0x01000007, 3, 6, ncmds, sizeofcmds, 0, 0};
        std::memcpy(bytes.data(), fields, sizeof fields);
        return bytes;
    };
    const auto command = [](uint32_t cmd, uint32_t cmdsize, qsizetype length) {
        QByteArray bytes(length, '\0');
        std::memcpy(bytes.data(), &cmd, 4);
        std::memcpy(bytes.data() + 4, &cmdsize, 4);
        for (qsizetype i = 8; i < length; ++i)
            bytes[i] = char(0x10 + i - 8);
        return bytes;
    };
    const QByteArray uuid = command(0x1b, 24, 24);
    const struct
    {
        const char *name;
        QByteArray bytes;
        bool found;
    } cases[] = {
        {"one uuid command", header(1, 24) + uuid, true},
        {"after another command", header(2, 40) + command(0x2, 16, 16) + uuid, true},
        {"past the commands' area", header(2, 16) + command(0x2, 16, 16) + uuid, false},
        {"a zero-sized command first", header(2, 32) + command(0x2, 0, 8) + uuid, false},
        {"a command larger than the area", header(2, 24) + command(0x2, 4000, 8) + uuid, false},
        {"more commands than bytes", header(1000000, 24) + command(0x2, 8, 8), false},
        {"area beyond the bytes", header(1, 0xffffffff) + command(0x2, 8, 8), false},
        {"no magic", QByteArray(64, '\x11'), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto *bytes = reinterpret_cast<const uint8_t *>(c.bytes.constData());
        const auto text = VUMachOLoadCommands::uuidText(bytes, size_t(c.bytes.size()));
        EXPECT_EQ(text.has_value(), c.found);
        if (text)
            EXPECT_EQ(*text, "101112131415161718191a1b1c1d1e1f");
    }
}
