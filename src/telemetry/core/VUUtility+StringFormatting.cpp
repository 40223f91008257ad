#include "telemetry/core/VUUtility.h"

#include <QCoreApplication>
#include <QCryptographicHash>

#include <nlohmann/json.hpp>

const VUVovUdezirLibraryInfo vovudezir_library_info = {1, "vovudezir.macos", "1.14.0", "1"};

QString VUUtility::sdkName()
{
    return QString::fromLatin1(vovudezir_library_info.name,
                               qstrnlen(vovudezir_library_info.name, sizeof vovudezir_library_info.name));
}

QString VUUtility::sdkVersion()
{
    return QString::fromLatin1(vovudezir_library_info.version,
                               qstrnlen(vovudezir_library_info.version, sizeof vovudezir_library_info.version));
}

QString VUUtility::mainBundleIdentifier()
{
    return QStringLiteral("org.quillon.Quillon");
}

QString VUUtility::appVersion()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral(QUILLON_APP_VERSION) : version;
}

QString VUUtility::appBuild()
{
    return QStringLiteral(QUILLON_APP_BUILD);
}

QString VUUtility::sha256(const QString &string)
{
    // Strings given here are ASCII; others are hashed through their UTF-8 bytes.
    QByteArray bytes = string.toUtf8();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

std::optional<QString> VUUtility::appSecretFrom(const QString &string)
{
    const QStringList parts = string.split(QLatin1Char(';'));
    for (QString part : parts) {
        if (part.isEmpty() || part.contains(QLatin1String("target=")))
            continue;
        part.remove(QStringLiteral("appsecret="));
        if (!part.isEmpty())
            return part;
    }
    return std::nullopt;
}

std::optional<QString> VUUtility::transmissionTargetTokenFrom(const QString &string)
{
    const QStringList parts = string.split(QLatin1Char(';'));
    for (QString part : parts) {
        if (!part.contains(QLatin1String("target=")))
            continue;
        part.remove(QStringLiteral("target="));
        if (!part.isEmpty())
            return part;
    }
    return std::nullopt;
}

std::optional<QString> VUUtility::targetKeyFromTargetToken(const QString &token)
{
    const QString key = token.section(QLatin1Char('-'), 0, 0);
    if (key.isEmpty())
        return std::nullopt;
    return key;
}

std::optional<QString> VUUtility::iKeyFromTargetToken(const QString &token)
{
    const auto key = targetKeyFromTargetToken(token);
    if (!key)
        return std::nullopt;
    return QStringLiteral("o:%1").arg(*key);
}

std::optional<QString> VUUtility::prettyPrintJson(const std::optional<QByteArray> &data)
{
    if (!data)
        return std::nullopt;
    const auto parsed = nlohmann::ordered_json::parse(data->constData(), data->constData() + data->size(),
                                                      nullptr, false);
    if (parsed.is_discarded())
        return QString::fromUtf8(*data);
    try {
        // The writer does not escape "/", so the text carries plain slashes already.
        return QString::fromStdString(parsed.dump(2));
    } catch (const nlohmann::json::exception &) {
        return QString::fromUtf8(*data);
    }
}

int VUUtility::characterCount(const QString &text)
{
    int count = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        ++count;
    }
    return count;
}

QString VUUtility::truncatedToCharacters(const QString &text, int limit)
{
    int count = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (count == limit)
            return text.left(i);
        if (text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        ++count;
    }
    return text;
}
