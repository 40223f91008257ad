#include "Defaults.h"

#include "VarnekLogger.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

std::mutex tempdirlock;
std::atomic<bool> cached_USE_NEW_STYLE{true};

namespace {

QString gTempDir; // guarded by tempdirlock

// Prefix of the work folder's name, in reverse-domain form.
const char kTempFolderPrefix[] = "org.quillon.Quillon_";

bool isUsableFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && info.isWritable() && info.isExecutable();
}

QString systemTemporaryFolder()
{
    const QString root = Paths::temporaryRoot();
    return root.isEmpty() ? QStringLiteral("/tmp") : root;
}

// Makes a folder that did not exist before, readable only by the user. A name that is taken
// (a left-over folder, a link planted by someone else) is never reused.
QString createExclusiveFolder(const QString &parent)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const double seconds = QDateTime::currentMSecsSinceEpoch() / 1000.0;
        // The owner's process id in the name lets the next start tell a folder that a killed
        // run left (with decrypted device files in it) from one still in use.
        QString name = QString::asprintf("%s%f_%lld", kTempFolderPrefix, seconds, qlonglong(::getpid()));
        if (attempt > 0)
            name += QStringLiteral("-%1").arg(attempt);
        const QString path = QDir(parent).filePath(name);
        if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0) {
            // mkdir honours the umask; make sure of the mode whatever it was.
            ::chmod(QFile::encodeName(path).constData(), 0700);
            return path;
        }
        if (errno != EEXIST) {
            VarnekLog("getTempDir: cannot create %s: %s", qUtf8Printable(path), strerror(errno));
            return {};
        }
    }
    return {};
}

} // namespace

QVariant getDefault(const QString &key)
{
    static const struct {
        const char *key;
        QVariant value;
    } kBuiltIn[] = {
        {"AUTOLAUNCH", false},
        {"PRINT_SELECTION", false},
        {"newStyle", true},
        {"NOCONVERT", true},
        {"DRAG_SAVES_MEDIA", false},
        {"ARCHIVE_LOCATION", QStringLiteral("~/Library/Application Support/Quillon")},
    };
    for (const auto &entry : kBuiltIn) {
        if (key == QLatin1String(entry.key))
            return entry.value;
    }
    return {};
}

QVariant preferenceValue(const QString &key)
{
    const QVariant stored = UserDefaults::standard().objectForKey(key);
    return stored.isValid() ? stored : getDefault(key);
}

bool preferenceBool(const QString &key) { return variantBoolValue(preferenceValue(key)); }
qint64 preferenceInteger(const QString &key) { return variantIntegerValue(preferenceValue(key)); }
double preferenceDouble(const QString &key) { return variantDoubleValue(preferenceValue(key)); }

QString folderPreference(const QString &key)
{
    const QVariant stored = UserDefaults::standard().objectForKey(key);
    if (!stored.isValid())
        return {};
    // A relative path would be taken from the current folder, wherever Quillon was started.
    if (stored.typeId() == QMetaType::QString) {
        const QString text = stored.toString();
        if (!text.isEmpty() && QDir::isAbsolutePath(Paths::resolveUserPath(text)))
            return text;
    }
    VarnekLog("Preference %s: \"%s\" (%s) is not an absolute folder path; using the default",
              qUtf8Printable(key), qUtf8Printable(stored.toString()), stored.typeName());
    return {};
}

void writeStartupDefaults()
{
    UserDefaults &d = UserDefaults::standard();
    if (!d.contains(QStringLiteral("NSPrintHeaderAndFooter")))
        d.setBool(true, QStringLiteral("NSPrintHeaderAndFooter"));
    // Users who already chose an export format keep "one file per thread" off.
    if (!d.contains(QStringLiteral("SMS_EXPORT_FORMAT2"))) {
        d.setInteger(3, QStringLiteral("SMS_EXPORT_FORMAT2"));
        if (!d.contains(QStringLiteral("EXPORT_INDIVIDUAL_FILES")))
            d.setBool(true, QStringLiteral("EXPORT_INDIVIDUAL_FILES"));
    }
    static const struct {
        const char *key;
        QVariant value;
    } kWhenAbsent[] = {
        {"messageSort", 0},       {"messageSortBackup", 0}, {"messageSortArchive", 0},
        {"LAST_SOURCE_INDEX", 1}, {"SMS_SAVE_FORMAT", 3},   {"SMS_SAVE_MEDIA_FILES", false},
        {"MSG_SIZE", 10},         {"SHOW_SMS", true},       {"SHOW_WA", true},
        {"SHOW_FB1", false},
    };
    for (const auto &entry : kWhenAbsent) {
        const QString key = QLatin1String(entry.key);
        if (!d.contains(key))
            d.setObject(entry.value, key);
    }
    d.setBool(true, QStringLiteral("newStyle"));
    cached_USE_NEW_STYLE.store(true);
    d.synchronize();
}

QString getTempDir()
{
    std::lock_guard lock(tempdirlock);
    if (!gTempDir.isEmpty())
        return gTempDir;

    QString parent = systemTemporaryFolder();
    const QString chosen = folderPreference(QStringLiteral("TEMP_LOCATION"));
    if (!chosen.isEmpty()) {
        const QString location = Paths::resolveUserPath(chosen);
        if (isUsableFolder(location))
            parent = location;
        else
            VarnekLog("getTempDir: TEMP_LOCATION \"%s\" is not a usable folder; using %s",
                      qUtf8Printable(chosen), qUtf8Printable(parent));
    }
    if (!QFileInfo::exists(parent))
        QDir().mkpath(parent);

    QString folder = createExclusiveFolder(parent);
    if (folder.isEmpty() && parent != systemTemporaryFolder()) {
        parent = systemTemporaryFolder();
        folder = createExclusiveFolder(parent);
    }
    if (folder.isEmpty()) {
        VarnekLog("getTempDir: no temporary folder could be created in %s", qUtf8Printable(parent));
        return {};
    }
    // Linux has no backup-exclusion flag comparable to the host's; nothing to mark.
    gTempDir = folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
    return gTempDir;
}

void deleteTempDir()
{
    QString folder;
    {
        std::lock_guard lock(tempdirlock);
        folder = gTempDir;
        gTempDir.clear();
    }
    if (!folder.isEmpty() && QFileInfo(folder).isDir())
        QDir(folder).removeRecursively();
}

void forgetTempDir()
{
    std::lock_guard lock(tempdirlock);
    gTempDir.clear();
}
