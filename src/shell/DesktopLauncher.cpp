#include "DesktopLauncher.h"

#include "VarnekLogger.h"

#include <QProcess>

#include <atomic>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

namespace DesktopLauncher {

namespace {
std::atomic<int> gSettleMs{kSettleMs};
} // namespace

int settleMs()
{
    return gSettleMs.load();
}

void setSettleMs(int ms)
{
    gSettleMs.store(ms);
}

void launch(const QString &program, const QStringList &arguments, Done done, int settleMs)
{
    if (settleMs < 0)
        settleMs = gSettleMs.load();
    auto report = std::make_shared<Done>(std::move(done));
    auto body = [program, arguments, report, settleMs] {
        auto finish = [&](bool launched) {
            if (*report)
                (*report)(launched);
        };
        QProcess opener;
        opener.setStandardInputFile(QProcess::nullDevice());
        opener.setProcessChannelMode(QProcess::ForwardedChannels);
        opener.start(program, arguments);
        if (!opener.waitForStarted()) {
            VarnekLog("Quillon: can't start %s: %s", qUtf8Printable(program), qUtf8Printable(opener.errorString()));
            finish(false);
            return;
        }
        if (opener.waitForFinished(settleMs)) {
            const bool launched = opener.exitStatus() == QProcess::NormalExit && opener.exitCode() == 0;
            if (!launched)
                VarnekLog("Quillon: %s %s failed (status %d)", qUtf8Printable(program),
                          qUtf8Printable(arguments.join(QLatin1Char(' '))), opener.exitCode());
            finish(launched);
            return;
        }
        finish(true);
        opener.waitForFinished(-1);
    };
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error &error) {
        VarnekLog("Quillon: can't start a thread to open %s: %s", qUtf8Printable(program), error.what());
        if (*report)
            (*report)(false);
    }
}

bool run(const QString &program, const QStringList &arguments, int settleMs)
{
    auto outcome = std::make_shared<std::promise<bool>>();
    std::future<bool> result = outcome->get_future();
    launch(program, arguments, [outcome](bool launched) { outcome->set_value(launched); }, settleMs);
    return result.get();
}

void open(const QString &fileOrUrl, Done done)
{
    launch(QStringLiteral("xdg-open"), {fileOrUrl}, std::move(done));
}

} // namespace DesktopLauncher
