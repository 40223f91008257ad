#include "archive/ArchiveSql.h"

int SqlStatement::prepare(sqlite3 *db, const char *sql)
{
    sqlite3_finalize(mStatement);
    mStatement = nullptr;
    mRc = sqlite3_prepare_v2(db, sql, -1, &mStatement, nullptr);
    if (mRc != SQLITE_OK) {
        sqlite3_finalize(mStatement);
        mStatement = nullptr;
    }
    return mRc;
}

void SqlStatement::bind(int index, const QString &text)
{
    if (text.isNull()) {
        sqlite3_bind_null(mStatement, index);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(mStatement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void SqlStatement::bind(int index, const QByteArray &blob)
{
    if (blob.isNull()) {
        sqlite3_bind_null(mStatement, index);
        return;
    }
    sqlite3_bind_blob64(mStatement, index, blob.constData(), sqlite3_uint64(blob.size()),
                        SQLITE_TRANSIENT);
}

namespace ArchiveSql {

QString text(sqlite3_stmt *statement, int column)
{
    const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(statement, column));
    if (!bytes)
        return QStringLiteral("");
    return QString::fromUtf8(bytes, sqlite3_column_bytes(statement, column));
}

QByteArray blob(sqlite3_stmt *statement, int column)
{
    const void *bytes = sqlite3_column_blob(statement, column);
    const int size = sqlite3_column_bytes(statement, column);
    if (!bytes || size <= 0)
        return QByteArray();
    return QByteArray(static_cast<const char *>(bytes), size);
}

bool probe(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *statement = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    sqlite3_finalize(statement);
    return rc == SQLITE_OK;
}

bool hasRow(sqlite3 *db, const char *sql)
{
    SqlStatement statement(db, sql);
    return statement.ok() && statement.step() == SQLITE_ROW;
}

int exec(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int exec(sqlite3 *db, const QString &sql)
{
    return exec(db, sql.toUtf8().constData());
}

int execInTransaction(sqlite3 *db, const char *statements, QByteArray *failure)
{
    int rc = exec(db, "BEGIN TRANSACTION;");
    if (rc == SQLITE_OK)
        rc = exec(db, statements);
    if (rc == SQLITE_OK)
        rc = exec(db, "COMMIT;");
    if (rc != SQLITE_OK) {
        if (failure)
            *failure = message(db);
        if (!sqlite3_get_autocommit(db))
            exec(db, "ROLLBACK;");
    }
    return rc;
}

const char *message(sqlite3 *db)
{
    return db ? sqlite3_errmsg(db) : "";
}

} // namespace ArchiveSql
