#include "device/MetadataSidecar.h"

#include "device/FileNameBytes.h"

namespace MetadataSidecar {

bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

QList<Entry> parse(const QByteArray &text)
{
    QList<Entry> entries;
    const QList<QByteArray> lines = text.split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split('\t');
        // Names are the items' bytes (FileNameBytes): an item whose name is not UTF-8 keeps
        // its line. A name that is no plain name could only land on another item's entry.
        const QString name = FileNameBytes::decode(fields.first());
        if (!isPlainName(name))
            continue;
        Entry entry;
        entry.name = name;
        for (qsizetype i = 1; i < fields.size() && i <= fieldKeys().size(); ++i)
            entry.attributes.insert(fieldKeys().at(i - 1), QString::fromUtf8(fields.at(i)));
        entries.append(entry);
    }
    return entries;
}

QByteArray format(const QList<Entry> &entries)
{
    QList<QByteArray> lines;
    for (const Entry &entry : entries) {
        if (!isPlainName(entry.name) || entry.name.contains(QLatin1Char('\t')) || entry.name.contains(QLatin1Char('\n')))
            continue;
        QList<QByteArray> fields{FileNameBytes::encode(entry.name)};
        for (const QString &key : fieldKeys())
            fields << entry.attributes.value(key).toString().toUtf8();
        lines << fields.join('\t');
    }
    return lines.join('\n');
}

} // namespace MetadataSidecar
