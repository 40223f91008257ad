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

// Every line with a name; a line without one is skipped.
QList<Entry> parse(const QByteArray &text);
// The sidecar text for `entries`, in the given order.
QByteArray format(const QList<Entry> &entries);

} // namespace MetadataSidecar
