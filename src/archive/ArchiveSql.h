#pragma once
// Small helpers over SQLite for the archive code: a statement that finalises itself, typed
// column reads, the probe that tells whether a table or column exists, and scripts run as
// one transaction that is rolled back when a statement of it fails.
//
// Threads: whoever holds the handle (localLock for archive handles).

#include <QByteArray>
#include <QString>

#include <sqlite3.h>

class SqlStatement
{
public:
    SqlStatement() = default;
    SqlStatement(sqlite3 *db, const char *sql) { prepare(db, sql); }
    SqlStatement(sqlite3 *db, const QString &sql) { prepare(db, sql.toUtf8().constData()); }
    ~SqlStatement() { sqlite3_finalize(mStatement); }
    SqlStatement(const SqlStatement &) = delete;
    SqlStatement &operator=(const SqlStatement &) = delete;

    int prepare(sqlite3 *db, const char *sql);
    int rc() const { return mRc; }
    bool ok() const { return mStatement != nullptr; }
    sqlite3_stmt *get() const { return mStatement; }

    // Binds (1-based). Texts are bound as UTF-8 copies; a null QString binds NULL.
    void bind(int index, const QString &text);
    void bind(int index, const QByteArray &blob);
    void bind(int index, qint64 value) { sqlite3_bind_int64(mStatement, index, value); }
    void bindInt(int index, int value) { sqlite3_bind_int(mStatement, index, value); }
    void bindDouble(int index, double value) { sqlite3_bind_double(mStatement, index, value); }
    int step() { return sqlite3_step(mStatement); }
    void reset() { sqlite3_reset(mStatement); sqlite3_clear_bindings(mStatement); }

private:
    sqlite3_stmt *mStatement = nullptr;
    int mRc = SQLITE_OK;
};

namespace ArchiveSql {

// NULL reads as the empty string / empty data.
QString text(sqlite3_stmt *statement, int column);
QByteArray blob(sqlite3_stmt *statement, int column);

// Whether `sql` prepares: the table or column it names exists.
bool probe(sqlite3 *db, const char *sql);
// Whether `sql` yields at least one row.
bool hasRow(sqlite3 *db, const char *sql);

// Runs `statements` framed by BEGIN and COMMIT; when one fails the transaction is rolled
// back, so a failed creation never leaves half a schema or an open transaction behind.
// `failure` receives the failing statement's message (the rollback would replace it).
int execInTransaction(sqlite3 *db, const char *statements, QByteArray *failure = nullptr);
// sqlite3_exec without callbacks; the code.
int exec(sqlite3 *db, const char *sql);
int exec(sqlite3 *db, const QString &sql);

// The engine's message for the handle ("" without one).
const char *message(sqlite3 *db);

} // namespace ArchiveSql
