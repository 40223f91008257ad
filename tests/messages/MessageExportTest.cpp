// Exports of one conversation (text with commas, quotes and line ends, a picture, a voice
// note, a contact card) in each text format, each file checked by a real reader: Python's
// csv module, a strict UTF-8 decode, xmllint. Attachments are saved beside the document,
// existing files are replaced only by complete ones, and a double click opens only what is
// safe to open.

#include "AudioFixtures.h"

#include "messages/FRMMSInfo.h"
#include "messages/MessageExport.h"
#include "messages/SMSDataController.h"
#include "shell/Defaults.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace {

const QString kText = QStringLiteral("Hello, \"friend\"\nsecond line\twith a tab");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The conversation's parts, their attachments in a backup work folder.
QList<FRSMSInfoPtr> conversation()
{
    const QString work = getTempDir() + QStringLiteral("thumbcacheEXPORT/");
    writeFile(work + "G1-iMessage-IMG_1.jpg", "JPEGBYTES");
    writeFile(work + "G2-iMessage-Audio Message.amr", AudioFixtures::amrSpeech(50));
    writeFile(work + "G3-iMessage-Ann.vcf", "BEGIN:VCARD\nFN:Ann\nEND:VCARD\n");
    writeFile(work + "G4-iMessage-run.sh", "#!/bin/sh\necho hi\n");
    QList<FRSMSInfoPtr> rows;
    const auto add = [&](int id, const QString &text, const QString &html, qint64 flags) {
        auto message = FRSMSInfo::infoWithInfo({{SMSKey::SMSID, id},
                                                {SMSKey::Address, QStringLiteral("+1 555, \"Ann\"\n")},
                                                {SMSKey::Date, QDateTime::fromSecsSinceEpoch(1600000000 + id)},
                                                {SMSKey::Text, text},
                                                {SMSKey::HTML, html},
                                                {SMSKey::Flags, flags}},
                                               nullptr);
        message->setIsiTunes(QStringLiteral("thumbcacheEXPORT"));
        for (const FRMMSInfoPtr &part : FRMMSInfo::objectsFromSMSInfo(message))
            rows.append(part);
    };
    add(1, kText, QString(), 0);
    add(2, "[IMAGE]", R"(<IMG SRC="a/G1-iMessage-IMG_1.jpg">)", 0x40000001);
    add(3, "[AUDIO]", R"(<AUDIO SRC="a/G2-iMessage-Audio Message.amr">)", 0x40000000);
    add(4, "[Ann.vcf]", R"(<A HREF="a/G3-iMessage-Ann.vcf">Ann.vcf</A>)", 0x40000001);
    return rows;
}

struct ToolRun
{
    int exitCode = -1;
    QByteArray out, err;
};

ToolRun run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    ToolRun result;
    if (!process.waitForFinished(30000))
        return result;
    result.exitCode = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// Rows of a delimited file as Python's csv module reads them, as JSON.
QJsonArray pythonRows(const QString &path, const char *delimiter)
{
    const QString code = QStringLiteral(
        "import csv, json, sys\n"
        "with open(sys.argv[1], newline='', encoding='utf-8', errors='strict') as f:\n"
        "    rows = list(csv.reader(f, delimiter=sys.argv[2], quoting=csv.QUOTE_MINIMAL if sys.argv[2] == ',' else "
        "csv.QUOTE_NONE))\n"
        "print(json.dumps(rows))\n");
    const ToolRun r = run(QStringLiteral("python3"), {QStringLiteral("-c"), code, path, QString::fromLatin1(delimiter)});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    return QJsonDocument::fromJson(r.out).array();
}

} // namespace

TEST(MessageExport, EachFormatPassesItsReader)
{
    const QList<FRSMSInfoPtr> rows = conversation();
    ASSERT_EQ(rows.size(), 4);
    SMSDataController controller;
    const QString folder = QDir::homePath() + QStringLiteral("/exports");
    QDir().mkpath(folder);

    struct Format
    {
        int code;
        const char *file;
    };
    for (const Format f : {Format{MessageExport::CSV, "c.csv"}, Format{MessageExport::Tabbed, "t.txt"},
                           Format{MessageExport::Text, "p.txt"}, Format{MessageExport::XML, "x.xml"}}) {
        SCOPED_TRACE(f.file);
        QString error;
        const QStringList produced =
            controller.exportMessages(rows, folder, QString::fromLatin1(f.file), true, f.code, false, &error);
        EXPECT_TRUE(error.isEmpty()) << qPrintable(error);
        const QString path = folder + '/' + f.file;
        ASSERT_TRUE(produced.contains(path)) << qPrintable(produced.join(','));
        // The attachments beside it (the voice note as MPEG-4 audio).
        for (const char *saved : {"IMG_1.jpg", "Audio Message.m4a", "Ann.vcf"})
            EXPECT_TRUE(QFileInfo::exists(folder + '/' + saved)) << saved;

        if (f.code == MessageExport::CSV || f.code == MessageExport::Tabbed) {
            const QJsonArray table = pythonRows(path, f.code == MessageExport::CSV ? "," : "\t");
            // The document holds the text part only; attachments are files.
            ASSERT_EQ(table.size(), 1);
            const QJsonArray fields = table.at(0).toArray();
            ASSERT_EQ(fields.size(), 6);
            EXPECT_EQ(fields.at(0).toString(), "Received");
            EXPECT_EQ(fields.at(5).toString(), "SMS");
            if (f.code == MessageExport::CSV) {
                EXPECT_EQ(fields.at(3).toString(), "+1 555, \"Ann\"\n");
                EXPECT_EQ(fields.at(4).toString(), kText);
            } else {
                EXPECT_EQ(fields.at(3).toString(), "+1 555, \"Ann\" ");
                EXPECT_EQ(fields.at(4).toString(), "Hello, \"friend\" second line    with a tab");
            }
        }
        if (f.code == MessageExport::Text) {
            const ToolRun r = run("python3", {"-c", "import sys; open(sys.argv[1], encoding='utf-8', errors='strict').read()", path});
            EXPECT_EQ(r.exitCode, 0) << r.err.constData();
        }
        if (f.code == MessageExport::XML) {
            const ToolRun lint = run("xmllint", {"--noout", path});
            EXPECT_EQ(lint.exitCode, 0) << lint.err.constData();
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly));
            QXmlStreamReader xml(&file);
            QStringList order;
            QStringList files;
            int messages = 0;
            while (!xml.atEnd()) {
                if (xml.readNext() != QXmlStreamReader::StartElement)
                    continue;
                if (xml.name() == QLatin1String("SMSMessage"))
                    ++messages;
                else if (messages == 1 && xml.name() != QLatin1String("SMSExport"))
                    order.append(xml.name().toString());
                if (xml.name() == QLatin1String("Message") && xml.attributes().hasAttribute("File"))
                    files.append(xml.attributes().value("File").toString());
            }
            EXPECT_FALSE(xml.hasError()) << qPrintable(xml.errorString());
            // XML lists every part, attachments by file name.
            EXPECT_EQ(messages, 4);
            EXPECT_EQ(order, QStringList({"Kind", "DateTime", "Name", "Number", "Type", "Message"}));
            EXPECT_EQ(files, QStringList({"IMG_1.jpg", "Audio Message.m4a", "Ann.vcf"}));
        }
    }
    // The voice note really is MPEG-4 audio.
    const AudioFixtures::Probe probe = AudioFixtures::probe(folder + "/Audio Message.m4a");
    EXPECT_TRUE(probe.hasAudio);
}

TEST(MessageExport, AnExistingFileIsReplacedOnlyByACompleteOne)
{
    const QList<FRSMSInfoPtr> rows = conversation();
    SMSDataController controller;
    const QString folder = QDir::homePath() + QStringLiteral("/replace");
    const QString path = folder + "/Messages.csv";
    writeFile(path, "old contents");

    // No PDF writer is installed in core tests: nothing can replace the file, which stays.
    QString error;
    QStringList produced = controller.exportMessages(rows.mid(0, 1), folder, "Messages.csv", false, MessageExport::PDF,
                                                     false, &error);
    EXPECT_TRUE(produced.isEmpty());
    EXPECT_FALSE(error.isEmpty());
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "old contents");
    old.close();

    // A complete export replaces it; the old one is in the Trash, no temporary is left.
    produced = controller.exportMessages(rows.mid(0, 1), folder, "Messages.csv", false, MessageExport::CSV, false, &error);
    EXPECT_EQ(produced, QStringList({path}));
    EXPECT_TRUE(error.isEmpty());
    QFile fresh(path);
    ASSERT_TRUE(fresh.open(QIODevice::ReadOnly));
    EXPECT_TRUE(fresh.readAll().startsWith("\"Received\""));
    const QStringList left = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(left, QStringList({"Messages.csv"}));
    EXPECT_TRUE(QFileInfo::exists(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                  + "/Trash/files/Messages.csv"));

    // A folder that cannot be written: the failure is reported.
    const QString blocked = QDir::homePath() + "/blocked";
    writeFile(blocked, "a file, not a folder");
    produced = controller.exportMessages(rows.mid(0, 1), blocked, "Messages.csv", false, MessageExport::CSV, false, &error);
    EXPECT_TRUE(produced.isEmpty());
    EXPECT_FALSE(error.isEmpty());
}

TEST(MessageExport, ADoubleClickOpensOnlyWhatIsSafeToOpen)
{
    struct Case
    {
        const char *path;
        bool open;
    };
    const Case cases[] = {
        {"/x/Messages with Ann.pdf", true}, {"/x/IMG_1.JPG", true}, {"/x/Audio Message.m4a", true},
        {"/x/clip.mov", true},              {"/x/Ann.vcf", true},    {"/x/notes.txt", true},
        {"/x/run.sh", false},               {"/x/tool.desktop", false}, {"/x/app.AppImage", false},
        {"/x/noextension", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(MessageExport::isOpenable(QString::fromLatin1(c.path)), c.open);
    }
}
