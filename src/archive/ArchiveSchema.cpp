#include "archive/ArchiveSchema.h"

#include "archive/ArchiveSql.h"
#include "shell/VarnekLogger.h"

#include <sqlite3.h>

namespace ArchiveSchema {

namespace {

using ArchiveSql::execInTransaction;
using ArchiveSql::probe;

struct Column
{
    const char *table;
    const char *name;
    const char *type;
};

// Every column a database written by an older version may lack, in the order they were
// added. The first columns of call and message predate every released schema; they are
// probed too, so a damaged or hand-made file is completed rather than refused.
constexpr Column kUpgradeColumns[] = {
    {"call", "id", "INTEGER"},          {"call", "date", "INTEGER"},
    {"call", "address", "TEXT"},        {"call", "duration", "INTEGER"},
    {"call", "flags", "INTEGER"},       {"message", "id", "INTEGER"},
    {"message", "date", "INTEGER"},     {"message", "address", "TEXT"},
    {"message", "text", "TEXT"},        {"message", "flags", "INTEGER"},
    {"call", "wa", "INTEGER"},          {"call", "provider", "TEXT"},
    {"call", "name", "TEXT"},           {"message", "html", "TEXT"},
    {"message", "sender", "TEXT"},      {"message", "grouptitle", "TEXT"},
    {"message", "sendername", "TEXT"},  {"message", "recipientnames", "TEXT"},
};

bool hasColumn(sqlite3 *db, const char *table, const char *column)
{
    return probe(db, QStringLiteral("SELECT %1 FROM %2 LIMIT 1")
                         .arg(QLatin1String(column), QLatin1String(table))
                         .toUtf8()
                         .constData());
}

// Adds a missing column; a failure is logged and the database used as found.
void addColumn(sqlite3 *db, const char *table, const char *column, const char *type,
               const char *logFormat = nullptr)
{
    if (hasColumn(db, table, column))
        return;
    const QByteArray sql = QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3")
                               .arg(QLatin1String(table), QLatin1String(column), QLatin1String(type))
                               .toUtf8();
    const int rc = ArchiveSql::exec(db, sql.constData());
    if (rc == SQLITE_OK)
        return;
    if (logFormat)
        VarnekLog(logFormat, rc, sqlite3_errmsg(db));
    else
        VarnekLog("Error in %s (%d) %s", sql.constData(), rc, sqlite3_errmsg(db));
}

// Runs a creation script; on failure logs `format` with the code and message.
int create(sqlite3 *db, const char *statements, const char *format)
{
    QByteArray failure;
    const int rc = execInTransaction(db, statements, &failure);
    if (rc != SQLITE_OK)
        VarnekLog(format, rc, failure.constData());
    return rc;
}

constexpr char kCreateBaseScript[] =
    "CREATE TABLE call (id INTEGER, date INTEGER, address TEXT, duration INTEGER, flags INTEGER, "
    "wa INTEGER, provider TEXT, name TEXT);"
    "CREATE TABLE message (id INTEGER, date INTEGER, address TEXT, text TEXT, flags INTEGER, "
    "html TEXT, sender TEXT, grouptitle TEXT, sendername TEXT, recipientnames TEXT);"
    "CREATE INDEX callindex ON call (id, date);"
    "CREATE INDEX callindexnew ON call (date, address);"
    "CREATE INDEX smsindex ON message (id, date);"
    "CREATE INDEX othernewsmsindex ON message (date, text);"
    "CREATE INDEX dateindex ON message (date);";

} // namespace

int addPropsTable(sqlite3 *db, const QString &name)
{
    char *sql = sqlite3_mprintf("CREATE TABLE props (key TEXT, value TEXT, UNIQUE(key));"
                                "INSERT INTO props (key, value) VALUES('phonename', %Q);",
                                name.toUtf8().constData());
    QByteArray failure;
    const int rc = execInTransaction(db, sql, &failure);
    sqlite3_free(sql);
    if (rc != SQLITE_OK)
        VarnekLog("Error adding props to backup table: (%d) %s", rc, failure.constData());
    return rc;
}

int createOrUpgrade(sqlite3 *db, const std::optional<QString> &phoneName, Outcome *outcome)
{
    Outcome result;
    bool hasProps = false;
    if (!probe(db, "SELECT * FROM call")) {
        if (create(db, kCreateBaseScript, "Error creating backup table 1: (%d) %s") != SQLITE_OK)
            return kCreateBase;
        result.created = true;
    } else {
        for (const Column &column : kUpgradeColumns)
            addColumn(db, column.table, column.name, column.type);
        if (create(db,
                   "CREATE INDEX IF NOT EXISTS callindex ON call (id, date);"
                   "CREATE INDEX IF NOT EXISTS smsindex ON message (id, date);",
                   "Error adding indexes: (%d) %s")
            != SQLITE_OK)
            return kBaseIndexes;
        hasProps = probe(db, "SELECT * FROM props WHERE key='phonename'");
    }

    if (!hasProps && phoneName && addPropsTable(db, *phoneName) != SQLITE_OK)
        return kCreateProps;

    if (!probe(db, "SELECT uuid FROM amrs")) {
        result.seeded = true;
        if (create(db,
                   "CREATE TABLE amrs (uuid TEXT, data BLOB);"
                   "CREATE INDEX amrindex ON amrs (uuid);"
                   "INSERT INTO amrs (uuid) VALUES ('NEW');",
                   "Error creating amr table 1: (%d) %s")
            != SQLITE_OK)
            return kCreatePieces;
    } else if (ArchiveSql::hasRow(db, "SELECT uuid FROM amrs WHERE uuid='NEW'")) {
        result.seeded = true;
    }

    if (!probe(db, "SELECT uuid FROM synctimes")
        && create(db,
                  "CREATE TABLE synctimes (uuid TEXT, synctime int64);"
                  "CREATE INDEX synctimesuuidindex ON synctimes (uuid);"
                  "CREATE INDEX synctimessynctimeindex ON synctimes (synctime);",
                  "Error creating synctime table 1: (%d) %s")
               != SQLITE_OK)
        return kCreateSynctimes;

    if (!probe(db, "SELECT uuid FROM smspieces")) {
        result.seeded = true;
        if (create(db,
                   "CREATE TABLE smspieces (uuid TEXT, data BLOB, path TEXT, synctime TEXT);"
                   "CREATE INDEX smspiecesindex ON smspieces (uuid);"
                   "INSERT INTO smspieces (uuid) VALUES ('NEW');",
                   "Error creating smspieces table 1: (%d) %s")
            != SQLITE_OK)
            return kCreatePieces;
    } else {
        if (ArchiveSql::hasRow(db, "SELECT uuid FROM smspieces WHERE uuid='NEW'"))
            result.seeded = true;
        addColumn(db, "smspieces", "path", "TEXT",
                  "ALTER TABLE smspieces ADD COLUMN path TEXT: (%d) %s");
    }

    if (!probe(db, "SELECT * FROM smsbackuppieces")) {
        if (create(db,
                   "CREATE TABLE smsbackuppieces (smsid INTEGER, uuid TEXT, data BLOB, "
                   "thumbnail BLOB, path TEXT);"
                   "CREATE INDEX smsbackuppiecesindex ON smsbackuppieces (smsid);",
                   "Error creating smsbackuppieces table 1: (%d) %s")
            != SQLITE_OK)
            return kCreatePieces;
    } else {
        addColumn(db, "smsbackuppieces", "thumbnail", "BLOB",
                  "Error ALTER TABLE smsbackuppieces ADD COLUMN thumbnail BLOB: (%d) %s");
        addColumn(db, "smsbackuppieces", "path", "TEXT",
                  "Error ALTER TABLE smsbackuppieces ADD COLUMN path TEXT: (%d) %s");
    }

    if (!probe(db, "SELECT * FROM voicemail")
        && create(db,
                  "CREATE TABLE voicemail (id INTEGER, date INTEGER, address TEXT, duration INTEGER, "
                  "flags INTEGER, amr BLOB);"
                  "CREATE INDEX voicemailindex ON voicemail (id, date);"
                  "CREATE INDEX voicemailindexnew ON voicemail (date, address);",
                  "Error creating voicemail table 1: (%d) %s")
               != SQLITE_OK)
        return kCreateVoicemail;

    if (!probe(db, "SELECT id FROM contacts")
        && create(db,
                  "CREATE TABLE contacts (id TEXT, name TEXT, screenname TEXT, image BLOB);"
                  "CREATE INDEX contactsindex ON contacts (id);",
                  "Error creating contacts table 1: (%d) %s")
               != SQLITE_OK)
        return kCreateContacts;

    if (outcome)
        *outcome = result;
    return 0;
}

void upkeepIndexes(sqlite3 *db, const QString &key)
{
    VarnekLog("creating index for %s", qUtf8Printable(key));
    const int rc = ArchiveSql::exec(db,
                                    "DROP INDEX IF EXISTS newsmsindex;"
                                    "DROP INDEX IF EXISTS smspiecesindexsynctime;"
                                    "DROP INDEX IF EXISTS othernewsmsindex;"
                                    "CREATE INDEX IF NOT EXISTS yetanothernewsmsindex ON message (date, html);"
                                    "CREATE INDEX IF NOT EXISTS callindexnew ON call (date, address);"
                                    "CREATE INDEX IF NOT EXISTS voicemailindexnew ON voicemail (date, address);");
    if (rc != SQLITE_OK)
        VarnekLog("creating index Error %d %s", rc, sqlite3_errmsg(db));
    VarnekLog("created index for %s", qUtf8Printable(key));
}

} // namespace ArchiveSchema
