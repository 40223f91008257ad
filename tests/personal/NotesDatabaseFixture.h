#pragma once
// Device notes databases of the oldest generation, made by test code: the schema of each
// client version (1 to 6), with optional notes, and small readers of the result.

#include <QFile>
#include <QString>
#include <QStringList>

#include <sqlite3.h>

namespace NotesDatabaseFixture {

inline QString schema(int version)
{
    QString columns = QStringLiteral("creation_date INTEGER, title TEXT, summary TEXT");
    if (version >= 3)
        columns += QStringLiteral(", contains_cjk INTEGER");
    if (version >= 4)
        columns += QStringLiteral(", modification_date INTEGER, author TEXT, content_type INTEGER");
    QString sql = QStringLiteral(
                      "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
                      "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '%1');"
                      "INSERT INTO _SqliteDatabaseProperties VALUES ('_UniqueIdentifier', 'FIXTURE');"
                      "CREATE TABLE Note (%2);"
                      "CREATE TABLE note_bodies (note_id INTEGER, data, UNIQUE(note_id));"
                      "CREATE TRIGGER delete_note_bodies AFTER DELETE ON Note BEGIN DELETE FROM note_bodies WHERE "
                      "note_id = OLD.ROWID; END;")
                      .arg(version)
                      .arg(columns);
    if (version >= 5)
        sql += QStringLiteral("CREATE TABLE NoteChanges (record INTEGER, type INTEGER);");
    return sql;
}

// Runs `sql` on the database at `path` (created when missing); the engine's message on failure.
inline QString exec(const QString &path, const QString &sql)
{
    sqlite3 *db = nullptr;
    QString error;
    if (sqlite3_open(QFile::encodeName(path).constData(), &db) != SQLITE_OK) {
        error = QString::fromUtf8(sqlite3_errmsg(db));
    } else {
        char *message = nullptr;
        if (sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message) != SQLITE_OK)
            error = QString::fromUtf8(message ? message : "failed");
        sqlite3_free(message);
    }
    sqlite3_close(db);
    return error;
}

// The rows of a query, each row's columns joined by "|" (NULL as "NULL").
inline QStringList rows(const QString &path, const QString &sql)
{
    QStringList out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                QStringList columns;
                for (int i = 0; i < sqlite3_column_count(statement); ++i)
                    columns.append(sqlite3_column_type(statement, i) == SQLITE_NULL
                                       ? QStringLiteral("NULL")
                                       : QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, i))));
                out.append(columns.join(QLatin1Char('|')));
            }
        } else {
            out.append(QStringLiteral("ERROR ") + QString::fromUtf8(sqlite3_errmsg(db)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return out;
}

inline QString value(const QString &path, const QString &sql)
{
    return rows(path, sql).value(0);
}

inline QByteArray bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace NotesDatabaseFixture
