#include "FRInfoPanel.h"

#include "ErrorSheet.h"

#include <QApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

namespace {

constexpr int kPanelWidth = 420;
constexpr int kPanelHeight = 150;

// The application icon, made once per process.
const QPixmap &applicationIcon()
{
    static const QPixmap icon = [] {
        const QIcon appIcon = QApplication::windowIcon();
        if (!appIcon.isNull())
            return appIcon.pixmap(64, 64);
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(64, 64);
    }();
    return icon;
}

} // namespace

FRInfoPanel *FRInfoPanel::runOverWindow(QWidget *window, const QString &title, const QString &message,
                                        const QString &button1, const QString &button2, const QString &button3,
                                        QObject *delegate, DidEnd didEnd, bool errorPanel)
{
    auto *panel = new FRInfoPanel(window, title, message, button1, button2, button3, delegate, std::move(didEnd),
                                  errorPanel);
    panel->run();
    return panel;
}

FRInfoPanel::FRInfoPanel(QWidget *window, const QString &title, const QString &message, const QString &button1,
                         const QString &button2, const QString &button3, QObject *delegate, DidEnd didEnd,
                         bool errorPanel)
    : QDialog(window)
    , mWindow(window)
    , mDelegate(delegate)
    , mDidEnd(std::move(didEnd))
    , mErrorPanel(errorPanel)
    , mHasDelegate(delegate != nullptr)
{
    setObjectName(QStringLiteral("FRInfoPanel"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);
    setFixedSize(kPanelWidth, kPanelHeight);
    setWindowTitle(title);

    mIcon = new QLabel(this);
    mIcon->setGeometry(20, 16, 64, 64);
    mIcon->setPixmap(applicationIcon());
    mTitle = new QLabel(title, this);
    mTitle->setObjectName(QStringLiteral("title"));
    QFont bold = mTitle->font();
    bold.setBold(true);
    mTitle->setFont(bold);
    mTitle->setGeometry(100, 16, kPanelWidth - 120, 20);
    mMessage = new QLabel(message, this);
    mMessage->setObjectName(QStringLiteral("message"));
    mMessage->setWordWrap(true);
    mMessage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    mMessage->setGeometry(100, 40, kPanelWidth - 120, kPanelHeight - 40 - 50);

    placeButton(mButton1, button1);
    placeButton(mButton2, button2);
    placeButton(mButton3, button3);
}

void FRInfoPanel::placeButton(QPushButton *&button, const QString &text)
{
    if (text.isEmpty())
        return; // no title: no button
    button = new QPushButton(text, this);
    button->setObjectName(QStringLiteral("button%1").arg(&button == &mButton1 ? 1 : &button == &mButton2 ? 2 : 3));
    button->adjustSize();
    const int width = qMax(button->sizeHint().width(), kButtonMinimumWidth);
    const int height = button->sizeHint().height();
    button->setGeometry(kPanelWidth - width - mButtonLeft, kPanelHeight - kButtonBottom - height, width, height);
    mButtonLeft += width;
    QPushButton *pressed = button;
    connect(button, &QPushButton::clicked, this, [this, pressed] { didEnd(pressed); });
}

void FRInfoPanel::run()
{
    QRect area;
    if (mWindow)
        area = mWindow->frameGeometry();
    else if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isValid())
        move(area.center() - QPoint(width() / 2, height() / 2));
    show();
    raise();
    activateWindow();
}

void FRInfoPanel::didEnd(QAbstractButton *sender)
{
    const int number = sender == mButton1 ? 1 : sender == mButton2 ? 2 : sender == mButton3 ? 3 : 0;
    if (mErrorPanel)
        gShowingError.store(false);
    hide();
    // A delegate that has gone is not called; the panel closes all the same.
    if (mDidEnd && (!mHasDelegate || mDelegate))
        mDidEnd(sender, number);
    close();
}

QPushButton *FRInfoPanel::button(int number) const
{
    switch (number) {
    case 1:
        return mButton1;
    case 2:
        return mButton2;
    case 3:
        return mButton3;
    default:
        return nullptr;
    }
}

QString FRInfoPanel::title() const
{
    return mTitle->text();
}

QString FRInfoPanel::message() const
{
    return mMessage->text();
}
