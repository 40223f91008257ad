// The three logs of the crash service: their JSON, validity, equality and keyed archive;
// and the error report summary.
#include "TelemetryTestSupport.h"

#include "platform/KeyedArchiveReference.h"
#include "telemetry/crashes/VUAppleErrorLog.h"
#include "telemetry/crashes/VUCrashesCoding.h"
#include "telemetry/crashes/VUErrorAttachmentLog.h"
#include "telemetry/crashes/VUErrorReport.h"
#include "telemetry/crashes/VUHandledErrorLog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject json(const VUModel &model)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(model.serializeToDictionary().dump())).object();
}

// The archive is byte for byte the reference encoder's.
bool archivedAsTheReference(const VUModel &model)
{
    return VUKeyedCoding::archive(model)
           == KeyedArchiveReference::encode(VUKeyedCoding::toVariant(model), nullptr, QStringLiteral("root"));
}

std::shared_ptr<VUAppleErrorLog> minimalCrashLog()
{
    auto log = std::make_shared<VUAppleErrorLog>();
    log->timestamp = sampleDate();
    log->device = makeDevice();
    log->errorId = "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF";
    log->processId = 4242;
    log->processName = "Quillon";
    log->primaryArchitectureId = 16777223;
    log->applicationPath = "/usr/bin/Quillon";
    log->osExceptionType = "SIGSEGV";
    log->osExceptionCode = "SEGV_MAPERR";
    log->osExceptionAddress = "0x10";
    return log;
}

std::shared_ptr<VUAppleErrorLog> fullCrashLog()
{
    auto log = minimalCrashLog();
    log->sid = "6E0A5F4C-1B4B-4C8D-9F0E-2D7B1C3A4E5F";
    log->userId = "c:alice";
    log->parentProcessId = 1;
    log->parentProcessName = "bash";
    log->errorThreadId = 0;
    log->fatal = true;
    log->appLaunchTimestamp = sampleDate(-60);
    log->architectureVariantId = 3;
    log->exceptionType = "std::runtime_error";
    log->exceptionReason = "boom";
    auto frame = std::make_shared<VUStackFrame>();
    frame->address = "0x0000000000401234";
    frame->code = "0x400000 + 4660";
    auto thread = std::make_shared<VUThread>();
    thread->threadId = 0;
    thread->frames->append(frame);
    thread->exception = std::make_shared<VUException>();
    thread->exception->type = "std::runtime_error";
    thread->exception->frames = QList<std::shared_ptr<VUStackFrame>>{frame};
    log->threads = QList<std::shared_ptr<VUThread>>{thread};
    auto binary = std::make_shared<VUBinary>();
    binary->binaryId = "000102030405060708090a0b0c0d0e0f";
    binary->startAddress = "0x0000000000400000";
    binary->endAddress = "0x0000000000401fff";
    binary->name = "Quillon";
    binary->path = "/usr/bin/Quillon";
    binary->primaryArchitectureId = 16777223;
    binary->architectureVariantId = 3;
    log->binaries = QList<std::shared_ptr<VUBinary>>{binary};
    log->registers = QMap<QString, QString>{{"rip", "0x0000000000401234"}, {"rsp", "0x000000007ffd0000"}};
    log->exception = std::make_shared<VUException>(*thread->exception);
    log->properties = QMap<QString, QString>{{"k", "v"}};
    return log;
}

} // namespace

TEST(ErrorLogModels, CrashLogWritesOnlyWhatItHas)
{
    const auto log = minimalCrashLog();
    EXPECT_TRUE(log->isValid());
    const QJsonObject object = json(*log);
    EXPECT_EQ(object.value("type"), "appleError");
    EXPECT_EQ(object.value("fatal"), false);
    for (const char *key : {"id", "processId", "processName", "primaryArchitectureId", "applicationPath",
                            "osExceptionType", "osExceptionCode", "osExceptionAddress", "timestamp", "device"})
        EXPECT_TRUE(object.contains(key)) << key;
    for (const char *key : {"threads", "binaries", "registers", "exception", "parentProcessId", "properties"})
        EXPECT_FALSE(object.contains(key)) << key;

    log->threads = QList<std::shared_ptr<VUThread>>();
    log->registers = QMap<QString, QString>();
    EXPECT_TRUE(json(*log).value("threads").toArray().isEmpty());
    EXPECT_TRUE(json(*log).value("threads").isArray());
    EXPECT_TRUE(json(*log).value("registers").isObject());

    // Each required field makes the log invalid when missing.
    const std::function<void(VUAppleErrorLog &)> removals[] = {
        [](VUAppleErrorLog &l) { l.errorId.reset(); },         [](VUAppleErrorLog &l) { l.processId.reset(); },
        [](VUAppleErrorLog &l) { l.processName.reset(); },     [](VUAppleErrorLog &l) { l.primaryArchitectureId.reset(); },
        [](VUAppleErrorLog &l) { l.applicationPath.reset(); }, [](VUAppleErrorLog &l) { l.osExceptionType.reset(); },
        [](VUAppleErrorLog &l) { l.osExceptionCode.reset(); }, [](VUAppleErrorLog &l) { l.osExceptionAddress.reset(); },
        [](VUAppleErrorLog &l) { l.device.reset(); },
    };
    for (size_t i = 0; i < std::size(removals); ++i) {
        SCOPED_TRACE(i);
        auto broken = minimalCrashLog();
        removals[i](*broken);
        EXPECT_FALSE(broken->isValid());
    }
}

TEST(ErrorLogModels, CrashLogSurvivesTheArchive)
{
    VUCrashesCoding::registerClasses();
    const auto log = fullCrashLog();
    const auto decoded = VUKeyedCoding::unarchiveAs<VUAppleErrorLog>(VUKeyedCoding::archive(*log));
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(log.get()));
    EXPECT_EQ(decoded->serializeToDictionary(), log->serializeToDictionary());
    EXPECT_TRUE(dynamic_cast<VUNoAutoAssignSessionIdLog *>(decoded.get()));
    EXPECT_TRUE(archivedAsTheReference(*log));

    const QJsonObject object = json(*log);
    EXPECT_EQ(object.value("appLaunchTimestamp"), "2019-03-05T14:06:09.500Z");
    EXPECT_EQ(object.value("fatal"), true);
    EXPECT_EQ(object["threads"][0]["exception"]["type"], "std::runtime_error");

    // A changed field is a different log.
    decoded->exceptionReason = "other";
    EXPECT_FALSE(decoded->isEqual(log.get()));
    // A wrongly typed field refuses the whole archive.
    KeyedObject broken = VUKeyedCoding::toVariant(*log).value<KeyedObject>();
    broken.fields.insert("processId", "many");
    EXPECT_FALSE(VUKeyedCoding::fromVariant(QVariant::fromValue(broken)));
}

TEST(ErrorLogModels, HandledErrorsAndAttachments)
{
    VUCrashesCoding::registerClasses();
    VUHandledErrorLog handled;
    handled.timestamp = sampleDate();
    handled.device = makeDevice();
    handled.errorId = "E1";
    EXPECT_FALSE(handled.isValid());
    handled.exception = std::make_shared<VUException>(); // its own validity is not asked
    EXPECT_TRUE(handled.isValid());
    EXPECT_FALSE(json(handled).contains("fatal"));
    EXPECT_EQ(json(handled).value("type"), "handledError");
    const auto handledBack = VUKeyedCoding::unarchiveAs<VUHandledErrorLog>(VUKeyedCoding::archive(handled));
    ASSERT_TRUE(handledBack);
    EXPECT_TRUE(handledBack->isEqual(&handled));
    EXPECT_TRUE(archivedAsTheReference(handled));

    const auto text = VUErrorAttachmentLog::attachmentWithText(QStringLiteral("hé"), QStringLiteral("notes.txt"));
    text->timestamp = sampleDate();
    text->device = makeDevice();
    EXPECT_FALSE(text->isValid()); // no error id yet
    text->errorId = "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF";
    EXPECT_TRUE(text->isValid());
    const QJsonObject object = json(*text);
    EXPECT_EQ(object.value("type"), "errorAttachment");
    EXPECT_EQ(object.value("contentType"), "text/plain");
    EXPECT_EQ(object.value("data"), QString::fromLatin1(QByteArray("h\xc3\xa9").toBase64()));
    EXPECT_EQ(object.value("fileName"), "notes.txt");
    EXPECT_FALSE(object.contains("filename"));
    EXPECT_EQ(object.value("errorId"), *text->errorId);
    EXPECT_EQ(object.value("id"), *text->attachmentId);
    EXPECT_NE(*text->attachmentId, *text->errorId);

    const auto textBack = VUKeyedCoding::unarchiveAs<VUErrorAttachmentLog>(VUKeyedCoding::archive(*text));
    ASSERT_TRUE(textBack);
    EXPECT_TRUE(textBack->isEqual(text.get()));
    EXPECT_TRUE(archivedAsTheReference(*text));

    const auto noText = VUErrorAttachmentLog::attachmentWithText(std::nullopt, QStringLiteral("x"));
    noText->errorId = "E";
    noText->timestamp = sampleDate();
    noText->device = makeDevice();
    EXPECT_FALSE(json(*noText).contains("data"));
    EXPECT_FALSE(noText->isValid());
    const auto noType = VUErrorAttachmentLog::attachmentWithBinary(QByteArray("x"), QStringLiteral("x"), std::nullopt);
    noType->errorId = "E";
    noType->timestamp = sampleDate();
    noType->device = makeDevice();
    EXPECT_FALSE(noType->isValid());
    const auto empty = VUErrorAttachmentLog::attachmentWithBinary(QByteArray(""), std::nullopt, QStringLiteral(""));
    empty->errorId = "E";
    empty->timestamp = sampleDate();
    empty->device = makeDevice();
    EXPECT_TRUE(empty->isValid()); // empty values count as present
    EXPECT_EQ(json(*empty).value("data"), "");

    // Each attachment has its own id, so two made alike differ.
    const auto twin = VUErrorAttachmentLog::attachmentWithText(QStringLiteral("hé"), QStringLiteral("notes.txt"));
    twin->timestamp = text->timestamp;
    twin->device = text->device;
    twin->errorId = text->errorId;
    EXPECT_FALSE(twin->isEqual(text.get()));
}

TEST(ErrorLogModels, ErrorReportKnowsAnAppKill)
{
    const struct
    {
        std::optional<QString> signal;
        bool kill;
    } cases[] = {
        {QString("SIGKILL"), true}, {QString("sigkill"), true}, {QString("SIGSEGV"), false},
        {std::nullopt, false},      {QString("SIGKILL "), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.signal.value_or("(nil)").toStdString());
        VUErrorReport report(QString("id"), QString(""), c.signal, std::nullopt, std::nullopt, std::nullopt,
                             std::nullopt, nullptr, 0);
        EXPECT_EQ(report.isAppKill(), c.kill);
        EXPECT_FALSE(report.exceptionName());
        EXPECT_EQ(report.appProcessIdentifier(), 0u);
    }
}
