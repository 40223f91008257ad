// The entry point of the benchmarks that run Quillon's Qt-based code: a QCoreApplication in a
// throw-away home, so that nothing measured reads or writes the person's own preferences.

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

void setFolder(const char *variable, const QString &path)
{
    setenv(variable, path.toLocal8Bit().constData(), 1);
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    setFolder("HOME", home.path());
    setFolder("XDG_CONFIG_HOME", home.path() + QStringLiteral("/.config"));
    setFolder("XDG_DATA_HOME", home.path() + QStringLiteral("/.local/share"));
    setFolder("XDG_STATE_HOME", home.path() + QStringLiteral("/.local/state"));
    setFolder("XDG_CACHE_HOME", home.path() + QStringLiteral("/.cache"));
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
