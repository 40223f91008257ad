#pragma once
// The archive database's schema: creation of a new file, the upgrade of a file written by
// any earlier version (every column probed on its own, so an upgrade that stopped half-way
// is finished on the next open), and the index upkeep of the duplicate check.
//
// Tables and columns, in creation order: message, call, voicemail, smsbackuppieces,
// contacts, props, amrs, smspieces, synctimes (see createOrUpgrade). Dates are whole seconds
// since 1970; a row whose address is "---DELETED---" is a tombstone.
//
// Threads: whoever holds the handle.

#include <QString>

#include <optional>

struct sqlite3;

namespace ArchiveSchema {

// Error codes of an open (the out-parameter of getBackupDB).
constexpr int kNoKey = -4506;            // no key and no connected device
constexpr int kCannotOpen = -14506;      // the file cannot be opened
constexpr int kCreateBase = -4211;       // creating call and message failed
constexpr int kBaseIndexes = -42111;     // creating the two base indexes failed
constexpr int kCreateProps = -2001;      // creating props failed
constexpr int kCreatePieces = -42121;    // creating amrs, smspieces or smsbackuppieces failed
constexpr int kCreateSynctimes = -421244;
constexpr int kCreateVoicemail = -42122;
constexpr int kCreateContacts = -421226;

struct Outcome
{
    bool created = false; // the file had no tables: a new database
    bool seeded = false;  // a cache table was just made or still holds its 'NEW' seed row
};

// Creates or upgrades the tables. `phoneName` is given when the database belongs to the
// connected device: a database without props then gets them with this display name (a
// cache database never does). Returns 0 or one of the codes above; failures are logged.
int createOrUpgrade(sqlite3 *db, const std::optional<QString> &phoneName, Outcome *outcome);

// Replaces the older message indexes by the one the duplicate check uses; not fatal.
void upkeepIndexes(sqlite3 *db, const QString &key);

// Adds props ('phonename' = name) to a database that has none. 0 or the SQLite code.
int addPropsTable(sqlite3 *db, const QString &name);

} // namespace ArchiveSchema
