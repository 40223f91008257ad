#include "TestHome.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <cstdlib>

namespace {
const char *const kXdgVariables[4] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                                      "XDG_CACHE_HOME"};
}

TestHome::TestHome()
    : mDir(QDir::tempPath() + QStringLiteral("/quillon-test-home-XXXXXX"))
{
    mPreviousHome = qgetenv("HOME");
    qputenv("HOME", mDir.path().toUtf8());
    for (int i = 0; i < 4; ++i) {
        mPreviousXdg[i] = qgetenv(kXdgVariables[i]);
        qunsetenv(kXdgVariables[i]);
    }
    // Tests never reach the user's real keychain.
    qputenv("QUILLON_KEYCHAIN", "file");
}

TestHome::~TestHome()
{
    qputenv("HOME", mPreviousHome);
    for (int i = 0; i < 4; ++i) {
        if (mPreviousXdg[i].isNull())
            qunsetenv(kXdgVariables[i]);
        else
            qputenv(kXdgVariables[i], mPreviousXdg[i]);
    }
}

QString TestHome::writeFile(const QString &relativePath, const QByteArray &contents) const
{
    const QString full = mDir.path() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(full).absolutePath());
    QFile file(full);
    if (file.open(QIODevice::WriteOnly))
        file.write(contents);
    return full;
}

QString fixturePath(const QString &relativePath)
{
#ifdef QUILLON_FIXTURES_DIR
    const QString root = QStringLiteral(QUILLON_FIXTURES_DIR);
#else
    const QString root = QStringLiteral("tests/fixtures");
#endif
    return relativePath.isEmpty() ? root : root + QLatin1Char('/') + relativePath;
}

QString buildPath(const QString &relativePath)
{
    const QString root = QStringLiteral(QUILLON_BINARY_DIR);
    return relativePath.isEmpty() ? root : root + QLatin1Char('/') + relativePath;
}

QString fixtureText(const QString &relativePath)
{
    QFile file(fixturePath(relativePath));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool copyTree(const QString &from, const QString &to)
{
    bool copied = QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + source.mid(from.size());
        if (it.fileInfo().isDir())
            copied = QDir().mkpath(target) && copied;
        else
            copied = QFile::copy(source, target) && copied;
    }
    return copied;
}
