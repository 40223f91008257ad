#include "MainInterface.h"

#include "FRWindow.h"
#include "window/DesktopFileOpener.h"
#include "window/EmojiPictureScalerImage.h"
#include "archive/ui/ArchiveSheetDialogs.h"
#include "device/AppController.h"
#include "personal/NotesDataController.h"
#include "personal/ui/NotesListView.h"
#include "window/FRTableView.h"
#include "messages/SMSDataController.h"
#include "messages/ui/QtMessageTextLayout.h"
#include "window/MessagesPDF.h"
#include "platform/Paths.h"
#include "shell/AppDelegate.h"
#include "shell/GetPID.h"
#include "shell/OwnTemporaries.h"
#include "shell/Respawn.h"
#include "shell/SingleInstance.h"
#include "shell/VarnekLogger.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An alert needs a screen someone looks at; offscreen runs (tests, CI) only get the text.
bool canShowAlerts()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

int refuseSecondInstance()
{
    const QString title = SingleInstance::alreadyRunningTitle();
    const QString text = SingleInstance::alreadyRunningText();
    VarnekLog("%s: %s", qUtf8Printable(title), qUtf8Printable(text));
    std::fprintf(stderr, "%s\n%s\n", qUtf8Printable(title), qUtf8Printable(text));
    if (canShowAlerts()) {
        QMessageBox alert(QMessageBox::Warning, title, text, QMessageBox::Ok);
        alert.setInformativeText(QString());
        alert.exec();
    }
    return 0;
}

// SIGTERM (logout, shutdown), SIGINT and SIGHUP (the terminal that started Quillon closed)
// quit through the normal order, so the temporary folder with copied device files is
// deleted. The handler only writes a byte; the event loop does the rest.
int gSignalPipe[2] = {-1, -1};
// Set once a quit signal was handled: a quit asked for before the main loop runs is kept
// for it.
bool gQuitRequested = false;

void onQuitSignal(int)
{
    const char byte = 1;
    (void)!::write(gSignalPipe[1], &byte, 1);
}

void quitOnSignals(QObject *owner)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [] {
        char byte;
        (void)!::read(gSignalPipe[0], &byte, 1);
        VarnekLog("Quit signal received");
        gQuitRequested = true;
        // A modal alert runs its own loop, and quit() does nothing before the main loop
        // runs (the second copy's alert): end such alerts so the quit goes on from there.
        while (QWidget *modal = QApplication::activeModalWidget()) {
            if (!modal->close())
                break;
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

// The lock decides; the name test only reports. Copies with other data folders (another
// HOME) may run side by side, and a copy that is still starting loses the lock race, so
// refusing on the name alone would let two copies started together both quit.
void logOtherProcessesNamedQuillon()
{
    pid_t pids[3] = {0, 0, 0};
    unsigned int found = 0;
    int error = 0;
    if (GetAllPIDsForProcessName("Quillon", pids, 3, &found, &error) != 0 || found <= 1)
        return;
    QStringList others;
    for (unsigned int i = 0; i < found && i < 3; ++i) {
        if (pids[i] != ::getpid())
            others << QString::number(pids[i]);
    }
    VarnekLog("Other processes named Quillon run (%s); they use other data folders", qUtf8Printable(others.join(", ")));
}

} // namespace

int runMainInterface(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    // The desktop matches the window to "quillon.desktop" (its menu entry and icon).
    QGuiApplication::setDesktopFileName(QStringLiteral("quillon"));
    QIcon builtIn;
    for (const char *size : {"48", "256"})
        builtIn.addFile(QStringLiteral(":/icons/quillon-%1.png").arg(QLatin1String(size)));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quillon"), builtIn));
    // The window quits explicitly (FRWindow::closeEvent) after asking the delegate.
    QApplication::setQuitOnLastWindowClosed(false);
    // Before anything worth cleaning up exists, so a signal during start-up still quits in order.
    quitOnSignals(&app);

    FRWindow::load();
    // Core scales emoji pictures through the window library's image code.
    static EmojiPictureScalerImage emojiPictureScaler;
    EmojiPictureScaler::install(&emojiPictureScaler);
    // Files written by transfers are opened and revealed through the desktop.
    static DesktopFileOpener fileOpener;
    FileOpener::install(&fileOpener);
    // Message texts are measured in the window's fonts, and messages export PDF through the
    // printable table.
    static QtMessageTextLayout messageTextLayout;
    MessageTextLayout::install(&messageTextLayout);
    static MessagesPDF messagesPDF;
    MessagePDFWriter::install(&messagesPDF);
    // The entry's re-execution step ran before there was a logger to tell.
    logRespawnOutcome();

    QString error;
    switch (SingleInstance::acquire(Paths::applicationSupport(), &error)) {
    case SingleInstance::Result::Acquired:
        logOtherProcessesNamedQuillon();
        // No other copy uses this data folder now: what a killed run left half written goes.
        OwnTemporaries::removeStale();
        break;
    case SingleInstance::Result::AlreadyRunning:
        return refuseSecondInstance();
    case SingleInstance::Result::Failed:
        // Without a lock we cannot tell; starting is better than refusing a lone copy.
        VarnekLog("Single-instance lock unavailable: %s", qUtf8Printable(error));
        std::fprintf(stderr, "Quillon: single-instance lock unavailable: %s\n", qUtf8Printable(error));
        break;
    }

    // The controller's threads read the window (its mode), so the controller, and with it
    // those threads, ends before the window does (see the end of this function).
    auto controller = std::make_unique<AppController>();
    AppDelegate delegate;
    FRWindow window(controller.get(), &delegate);
    delegate.mainWindow = &window;
    // The notes list; the window owns it, its table shows it.
    auto *notes = new NotesDataController(controller.get(), &window);
    notes->setWindow(&window);
    window.setNotesController(notes);
    if (auto *noteList = window.findChild<FRTableView *>(QStringLiteral("noteList")))
        new NotesListView(notes, noteList);
    // The messages list; its threads use the controller, so it ends before the controller.
    auto smsData = std::make_unique<SMSDataController>(controller.get(), &window);
    window.setSmsDataController(smsData.get());
    // The archive actions ask on the main window until the archive manager exists.
    ArchiveSheets::install(new ArchiveSheetDialogs(&window));
    controller->awakeFromNib();
    window.awakeFromNib();

    QObject::connect(&app, &QCoreApplication::aboutToQuit, &app, [&] {
        delegate.applicationWillTerminate();
        window.appWillTerminate();
    });

    delegate.applicationWillFinishLaunching();
    window.show();
    QTimer::singleShot(0, &app, [&] { delegate.applicationDidFinishLaunching(); });

    bool ok = false;
    const int quitAfter = qEnvironmentVariableIntValue("QUILLON_QUIT_AFTER_MS", &ok);
    if (ok && quitAfter >= 0)
        QTimer::singleShot(quitAfter, &window, [&] { window.close(); });

    // A quit signal that came during start-up (in a modal loop, say) quits now.
    if (gQuitRequested)
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    const int result = app.exec();
    smsData->terminate();
    window.setSmsDataController(nullptr);
    smsData.reset();
    controller.reset();
    ArchiveSheets::install(nullptr);
    return result;
}
