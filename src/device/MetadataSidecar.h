#pragma once
// The ".metadata_file" sidecar the program keeps in each folder of its own area on the
// device: the Mac dates and creator and type codes of the items in that folder, which the
// device's filesystem cannot hold. UTF-8 text, one line per item, lines joined by "\n" with
// no final line break, fields joined by "\t": name, "CREATION_DATE", "MOD_DATE",
// "CREATOR", "TYPE" (each may be empty; a line may stop early).
// Pure functions; any thread.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

namespace MetadataSidecar {

inline constexpr char kFileName[] = ".metadata_file";
inline constexpr char kCompanionSuffix[] = ".qn_resource_file";

// The attribute keys, in field order after the name.
inline const QStringList &fieldKeys()
{
    static const QStringList keys{QStringLiteral("CREATION_DATE"), QStringLiteral("MOD_DATE"),
                                  QStringLiteral("CREATOR"), QStringLiteral("TYPE")};
    return keys;
}

struct Entry
{
    QString name;
    QVariantMap attributes; // only the fields the line holds, empty ones included
};

// Whether `name` can name an item of the sidecar's folder: not empty, ".", "..", and without
// "/" or NUL.
bool isPlainName(const QString &name);
// Every line whose name is a plain name; other lines are skipped.
QList<Entry> parse(const QByteArray &text);
// The sidecar text for `entries`, in the given order; an entry whose name is no plain name,
// or holds a tab or a line break (it would split its line), is left out.
QByteArray format(const QList<Entry> &entries);

} // namespace MetadataSidecar
