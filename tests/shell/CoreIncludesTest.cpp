// Core code must build and run without a display: only the window library and the ui/
// folders may include Qt Widgets or Qt GUI headers.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QSet>
#include <gtest/gtest.h>

namespace {

QSet<QString> headersOf(const QString &module)
{
    QSet<QString> names;
    const QString folder = QLibraryInfo::path(QLibraryInfo::HeadersPath) + "/" + module;
    for (const QString &name : QDir(folder).entryList(QDir::Files))
        names.insert(name);
    return names;
}

bool isUiSource(const QString &relative)
{
    return relative.startsWith("window/") || relative.contains("/ui/") || relative.startsWith("ui/");
}

} // namespace

TEST(CoreIncludes, NoCoreSourceIncludesWidgetsOrGui)
{
    const QSet<QString> widgets = headersOf("QtWidgets");
    const QSet<QString> gui = headersOf("QtGui");
    ASSERT_TRUE(widgets.contains("QWidget")) << "Qt headers not found";
    ASSERT_TRUE(gui.contains("QImage"));

    const QString root = QStringLiteral(QUILLON_SOURCE_DIR) + "/src";
    static const QRegularExpression include(R"(^\s*#\s*include\s*[<"]([^>"]+)[>"])",
                                            QRegularExpression::MultilineOption);
    QStringList offenders;
    int scanned = 0;
    QDirIterator it(root, {"*.h", "*.hpp", "*.cpp", "*.cc", "*.c"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (isUiSource(relative))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        ++scanned;
        const QString text = QString::fromUtf8(file.readAll());
        for (auto m = include.globalMatch(text); m.hasNext();) {
            const QString header = m.next().captured(1);
            const bool bad = header.startsWith("QtWidgets/") || header.startsWith("QtGui/")
                             || header == "QtWidgets" || header == "QtGui"
                             || (!header.contains('/') && (widgets.contains(header) || gui.contains(header)));
            if (bad)
                offenders << relative + ": " + header;
        }
    }
    EXPECT_GT(scanned, 0);
    EXPECT_TRUE(offenders.isEmpty()) << qPrintable(offenders.join("\n"));
}
