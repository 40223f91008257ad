#include "device/DeviceNames.h"

namespace DeviceNames {

std::optional<QString> fixSlashesAndColonsIn(const QString &typed)
{
    QString name = typed;
    name.remove(QLatin1Char(':'));
    name.replace(QLatin1Char('/'), QLatin1Char(':'));
    // Whole characters only: a surrogate pair is kept or dropped together.
    while (name.toUtf8().size() > kMaxNameBytes) {
        const bool pair = name.size() >= 2 && name.back().isLowSurrogate() && name.at(name.size() - 2).isHighSurrogate();
        name.chop(pair ? 2 : 1);
    }
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(QChar(0)))
        return std::nullopt;
    return name;
}

QString fixSlashesAndColonsOut(const QString &deviceName)
{
    QString name = deviceName;
    return name.replace(QLatin1Char(':'), QLatin1Char('/'));
}

} // namespace DeviceNames
