#pragma once
// Small helpers of the telemetry component, grouped as in the design's categories:
// identity, string formatting, dates, property validation, environment and files.
// Each category lives in its own source file (VUUtility+<Category>.cpp).
//
// All functions are callable from any thread. The file operations that change or read the
// data folder run under one process-wide recursive lock, so they never interleave.

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <optional>

// The component's identity record: version byte, then NUL-padded name, version and build.
struct VUVovUdezirLibraryInfo
{
    std::uint8_t infoVersion;
    char name[32];
    char version[32];
    char build[32];
};
extern const VUVovUdezirLibraryInfo vovudezir_library_info;

// Properties as the caller ordered them: the order decides which ones survive the limit.
using VUPropertyList = QList<QPair<QString, QVariant>>;
using VUStringProperties = QList<QPair<QString, QString>>;

class VUUtility
{
public:
    // Identity.
    static QString sdkName();
    static QString sdkVersion();
    // The application's identifier (the design's bundle identifier).
    static QString mainBundleIdentifier();
    static QString appVersion();
    static QString appBuild();

    // StringFormatting.
    static QString sha256(const QString &string);
    static std::optional<QString> appSecretFrom(const QString &string);
    static std::optional<QString> transmissionTargetTokenFrom(const QString &string);
    static std::optional<QString> iKeyFromTargetToken(const QString &token);
    static std::optional<QString> targetKeyFromTargetToken(const QString &token);
    static std::optional<QString> prettyPrintJson(const std::optional<QByteArray> &data);
    // Cuts `text` to at most `limit` characters (code points), never inside a surrogate pair.
    static QString truncatedToCharacters(const QString &text, int limit);
    static int characterCount(const QString &text);

    // PropertyValidation.
    static VUStringProperties validateProperties(const VUPropertyList &properties,
                                                 const QString &logName, const QString &logType);

    // Date: UTC, milliseconds and a literal "Z". Stateless, so safe on every thread.
    static double nowInMilliseconds();
    static QString dateToISO8601(const QDateTime &date);
    static std::optional<QDateTime> dateFromISO8601(const QString &text);
    // Whether dateToISO8601 can write the date: valid, with a four-digit UTC year (1-9999).
    static bool isWritableDate(const QDateTime &date);

    // Environment.
    static int currentAppEnvironment();
    static bool hasEmbeddedMobileProvision();
    static bool isAppStoreReceiptSandbox();

    // File: paths relative to the component's data folder. A relative path that is
    // absolute or has a ".." component is refused.
    static std::optional<QString> createFileAtPathComponent(const std::optional<QString> &pathComponent,
                                                           const QByteArray &data, bool atomically,
                                                           bool forceOverwrite);
    static bool deleteItemForPathComponent(const std::optional<QString> &pathComponent);
    static bool deleteFileAtURL(const std::optional<QString> &path);
    static std::optional<QString> createDirectoryForPathComponent(const std::optional<QString> &pathComponent);
    static std::optional<QByteArray> loadDataForPathComponent(const std::optional<QString> &pathComponent);
    static std::optional<QStringList> contentsOfDirectory(const std::optional<QString> &pathComponent);
    static bool fileExistsForPathComponent(const std::optional<QString> &pathComponent);
    static std::optional<QString> fullURLForPathComponent(const std::optional<QString> &pathComponent);
    static QString vovUdezirDirectoryURL();
    static bool createDirectoryAtURL(const std::optional<QString> &path);
    static bool disableBackupForDirectoryURL(const std::optional<QString> &path);
    // Whether a relative path stays inside the data folder.
    static bool isSafePathComponent(const QString &pathComponent);
};
