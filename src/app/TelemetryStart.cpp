#include "TelemetryStart.h"

#include "platform/UserDefaults.h"
#include "shell/VarnekLogger.h"
#include "telemetry/analytics/VUAnalytics.h"
#include "telemetry/core/VUVovUdezir.h"
#include "telemetry/crashes/VUCrashes.h"
#include "window/TelemetryProviders.h"

#include <QCoreApplication>

namespace {

const QString kAppSecret = QStringLiteral("3c9d0b27-6e41-4f8a-b5d2-71e8a0c4f953");
const QString kLogUrlKey = QStringLiteral("VULogUrl");

// Every service Quillon runs, one entry each; the component starts them by priority.
VUVovUdezir::Services quillonServices()
{
    return {
        VUAnalytics::sharedInstance(),
        VUCrashes::sharedInstance(),
    };
}

// The application's part in crash reporting: it is the crashes service's delegate and
// implements none of its hooks, so every crash report is sent.
class QuillonCrashesDelegate : public VUCrashesDelegate
{
};

} // namespace

void startTelemetry()
{
    installTelemetryProviders();
    const QString logUrl = UserDefaults::standard().stringForKey(kLogUrlKey).trimmed();
    if (!logUrl.isEmpty())
        VUVovUdezir::setLogUrl(logUrl);
    VUVovUdezir::start(kAppSecret, quillonServices());
    static const auto crashesDelegate = std::make_shared<QuillonCrashesDelegate>();
    VUCrashes::setDelegate(crashesDelegate);
    // Its threads end before the program's static objects do.
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, [] {
        // A service keeps the channel group it was started with: it goes first, so the
        // group (and its queue) goes with the component.
        VUAnalytics::resetSharedInstance();
        VUCrashes::resetSharedInstance();
        VUVovUdezir::resetSharedInstance();
    });
    VarnekLog("Vov Udezir SDK version: %s", qUtf8Printable(VUVovUdezir::sdkVersion()));
}
