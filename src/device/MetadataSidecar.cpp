#include "device/MetadataSidecar.h"

namespace MetadataSidecar {

QList<Entry> parse(const QByteArray &text)
{
    QList<Entry> entries;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.isEmpty() || fields.first().isEmpty())
            continue;
        Entry entry;
        entry.name = fields.first();
        for (qsizetype i = 1; i < fields.size() && i <= fieldKeys().size(); ++i)
            entry.attributes.insert(fieldKeys().at(i - 1), fields.at(i));
        entries.append(entry);
    }
    return entries;
}

QByteArray format(const QList<Entry> &entries)
{
    QStringList lines;
    for (const Entry &entry : entries) {
        QStringList fields{entry.name};
        for (const QString &key : fieldKeys())
            fields << entry.attributes.value(key).toString();
        lines << fields.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')).toUtf8();
}

} // namespace MetadataSidecar
