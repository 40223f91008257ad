#include "FRWindow.h"
#include "device/DownloadEngine.h"

#include "ErrorSheet.h"
#include "GuiProviders.h"
#include "LNSSourceListView.h"
#include "QNSecurityWindow.h"
#include "SourceListModel.h"
#include "archive/ArchiveFolder.h"
#include "backup/ui/BackupPasswordSheet.h"
#include "device/AppController.h"
#include "platform/Paths.h"
#include "platform/QueuedCall.h"
#include "platform/UserDefaults.h"
#include "shell/AppDelegate.h"
#include "shell/Defaults.h"
#include "shell/SystemFlags.h"
#include "shell/VarnekLogger.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>


namespace {
const char kVersion[] = "2.14.1";
const int kInitialWidth = 620; // the strip's width before the user sets one
const QString kDefaultArchiveLocation = QStringLiteral("~/Library/Application Support/Quillon");

QColor colourOf(const QString &name)
{
    if (name == QLatin1String("green"))
        return QColor(0x2e, 0xa0, 0x43);
    if (name == QLatin1String("orange"))
        return QColor(0xf0, 0x8c, 0x00);
    return QColor(0xd0, 0x2b, 0x2b);
}
} // namespace

void FRWindow::load()
{
    VarnekLogger::createDefaultLoggerToFile(UserDefaults::standard().boolForKey(QStringLiteral("DEBUG_LOG")), false);
    setSystemFlags();
}

FRWindow::FRWindow(AppController *device, AppDelegate *delegate, QWidget *parent)
    : QMainWindow(parent)
    , mDevice(device)
    , mDelegate(delegate)
{
    setWindowTitle(QStringLiteral("Quillon"));
    mErrorSheet = new ErrorSheet(this);
    if (mDevice)
        mDownloadEngine = new DownloadEngine(*mDevice, *this, this);
    buildStrip();
}

void FRWindow::buildStrip()
{
    // The strip keeps its height; the expanded window's extra height goes to the area below,
    // where the device's content is shown.
    auto *content = new QWidget(this);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto *strip = new QWidget(content);
    strip->setFixedHeight(kCollapsedHeight);
    auto *layout = new QHBoxLayout(strip);
    layout->setContentsMargins(12, 0, 12, 0);
    layout->setSpacing(8);
    mStatusIcon = new QLabel(strip);
    mStatusIcon->setFixedSize(12, 12);
    mStatusText = new QLabel(strip);
    mStatusText->setObjectName(QStringLiteral("status"));
    layout->addWidget(mStatusIcon);
    layout->addWidget(mStatusText, 1);
    mDeviceArea = new QWidget(content);
    mDeviceArea->setObjectName(QStringLiteral("deviceArea"));
    buildDeviceArea(mDeviceArea);
    mDeviceArea->hide(); // the window starts as the strip
    column->addWidget(strip);
    column->addWidget(mDeviceArea, 1);
    setCentralWidget(content);
}

void FRWindow::awakeFromNib()
{
    VarnekLog("Quillon %s started on Linux %s", kVersion, qUtf8Printable(systemVersionString()));

    writeStartupDefaults();
    // Made now so a folder that cannot be created shows in the log from the first line on.
    VarnekLog("Temporary folder: %s", qUtf8Printable(getTempDir()));
    // Decrypted device data lies there: never in a backup of this computer.
    if (AppController *controller = gSharedAppController.load(); controller && !getTempDir().isEmpty())
        controller->excludeFromBackupOnThread(getTempDir(), true);
    GuiProviders::install();
    // The toolbar's items and the menus come with the toolbar and menus; the file browser's
    // columns and actions with the file browser.
    stopOrStartAutoLaunch();

    // The window starts collapsed to the strip.
    resize(kInitialWidth, kCollapsedHeight);
    setMinimumSize(kMinimumWidth, kCollapsedHeight);
    setMaximumSize(kMaximumExtent, kCollapsedHeight);
    mOpened = height() > kCollapsedHeight;
    if (!mOpened)
        initOpenHeight();
    setWindowSize(false, false);

    mFirstTime = true;
    mSecondTime = false;
    // The mode exists before the device layer starts: its threads and callbacks read it.
    mCurrentMode = QStringLiteral("SMS");
    mWindowMode.store(Mode::Messages);
    // Holding a modifier to choose another storage location comes with the settings window.
    finishLaunching();

    changeModes();
    setStatusMessage(QCoreApplication::translate("FRWindow", "Starting up..."), QStringLiteral("orange"), {});
}

void FRWindow::finishLaunching()
{
    const QString stored = folderPreference(QStringLiteral("ARCHIVE_LOCATION"));
    QString location = kDefaultArchiveLocation;
    if (!stored.isEmpty()) {
        location = stored;
        const QString resolved = Paths::resolveUserPath(location);
        if (!QFileInfo::exists(resolved))
            QDir().mkpath(resolved);
        if (!QFileInfo::exists(resolved))
            location = kDefaultArchiveLocation;
    }
    setArchiveLocation(location);
    if (mDevice) {
        mDevice->setWindow(this);
        // The sheet that asks for a locked device's backup password; the window owns it.
        auto *sheet = new BackupPasswordSheet(this, mDevice);
        mDevice->setBackupPasswordPrompt(sheet);
        QObject::connect(sheet, &QObject::destroyed, [device = mDevice] {
            if (gSharedAppController.load() == device)
                device->setBackupPasswordPrompt(nullptr);
        });
        mDevice->setupiPhone();
    }
}

void FRWindow::initOpenHeight()
{
    const QVariant stored = UserDefaults::standard().objectForKey(QStringLiteral("OPENEDHEIGHT7"));
    // A hand-edited height may be any number: keep it to what the open window allows.
    const int height = stored.isValid() ? int(std::clamp<qint64>(variantIntegerValue(stored), kDefaultOpenedHeight,
                                                                 kMaximumExtent))
                                        : kDefaultOpenedHeight;
    mOpenedRect = QRect(geometry().topLeft(), QSize(width(), height));
}

void FRWindow::setWindowSize(bool opened, bool animate)
{
    Q_UNUSED(animate); // Qt resizes at once; the window manager animates if it wants to.
    VarnekLog("FRWindow: setWindowSize: opened %d antics: %d (mOpened: %d)", opened, animate, mOpened);
    if (mOpened == opened)
        return;
    const QRect content = geometry();
    if (!opened && mOpened) {
        mOpenedRect = content;
        UserDefaults &d = UserDefaults::standard();
        d.setObject(d.contains(QStringLiteral("OPENEDHEIGHT7")) ? double(content.height()) : double(kDefaultOpenedHeight),
                    QStringLiteral("OPENEDHEIGHT7"));
    }
    mOpened = opened;
    if (opened) {
        setMinimumSize(kMinimumWidth, kDefaultOpenedHeight);
        setMaximumSize(kMaximumExtent, kMaximumExtent);
        initOpenHeight();
        mDeviceArea->show();
        // The top edge stays where it was.
        setGeometry(QRect(content.x(), content.y(), content.width(), mOpenedRect.height()));
        setupSplitViews();
    } else {
        // The strip shows the status line alone, not the device's views squeezed into it.
        mDeviceArea->hide();
        setMinimumSize(kMinimumWidth, kCollapsedHeight);
        setMaximumSize(kMaximumExtent, kCollapsedHeight);
        setGeometry(QRect(content.x(), content.y(), content.width(), kCollapsedHeight));
    }
}

void FRWindow::setStatusMessage(const QString &text, const QString &status, const QString &deviceName)
{
    if (QThread::currentThread() != thread()) {
        // Widgets belong to the main thread; the line is drawn there instead.
        VarnekLog("Not main");
        QMetaObject::invokeMethod(
            this, QueuedCall([this, text, status, deviceName] { setStatusMessage(text, status, deviceName); }),
            Qt::QueuedConnection);
        return;
    }
    mStatusColour = status;
    QPixmap dot(12, 12);
    dot.fill(Qt::transparent);
    {
        QPainter painter(&dot);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(colourOf(status));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(1, 1, 10, 10);
    }
    mStatusIcon->setPixmap(dot);
    mStatusText->setText(text);
    setWindowTitle(deviceName.isEmpty() ? QStringLiteral("Quillon") : QStringLiteral("Quillon - %1").arg(deviceName));
}

QString FRWindow::statusText() const
{
    return mStatusText->text();
}

void FRWindow::closeEvent(QCloseEvent *event)
{
    // Closing the main window quits: there is no dock from which to bring it back.
    if (mDelegate && mDelegate->applicationShouldTerminate() == AppDelegate::TerminateReply::TerminateLater) {
        event->ignore();
        return;
    }
    event->accept();
    QCoreApplication::quit();
}

void FRWindow::appWillTerminate()
{
    if (mDevice) {
        gBail.store(true);
        mDevice->closeConnections(true);
    }
    deleteTempDir();
}

void FRWindow::showBackupsAccessHelp()
{
    if (!mSecWindow)
        mSecWindow = new QNSecurityWindow(this);
    mSecWindow->show();
    mSecWindow->raise();
    mSecWindow->activateWindow();
}
