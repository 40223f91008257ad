#pragma once
// A throw-away home for a test process: HOME and the XDG folders point into a fresh
// temporary folder that is removed when the process ends. TestMain installs one before
// any test runs; tests that need a second, clean home (a "restart") make their own.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

class TestHome
{
public:
    TestHome();
    ~TestHome();
    TestHome(const TestHome &) = delete;
    TestHome &operator=(const TestHome &) = delete;

    QString path() const { return mDir.path(); }

    // Writes `contents` to `relativePath` under the home, making folders as needed.
    QString writeFile(const QString &relativePath, const QByteArray &contents) const;

private:
    QTemporaryDir mDir;
    QByteArray mPreviousHome;
    QByteArray mPreviousXdg[4];
};

// Copies a folder tree (hidden files included); false when any file could not be copied.
bool copyTree(const QString &from, const QString &to);

// The folder with the checked-in fixtures (tests/fixtures).
QString fixturePath(const QString &relativePath = {});
// The build folder, where the programs are (bin/Quillon).
QString buildPath(const QString &relativePath = {});
// The text of a checked-in fixture (empty when it cannot be read).
QString fixtureText(const QString &relativePath);
