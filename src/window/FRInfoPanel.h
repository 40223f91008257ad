#pragma once
// Quillon's own alert: a floating panel with the application icon, a title, a message and up
// to three buttons, centred over a window (or the screen). It does not block: the answer
// comes back through the did-end callback, with the pressed button and its number (1, 2, 3).
//
// Button 1 is rightmost, 14 points from the right edge; buttons 2 and 3 follow to its left.
// A button without a title is left out. The panel deletes itself once answered.
//
// The callback runs only while its delegate (the object it belongs to) still exists; a panel
// whose delegate has gone still closes. A panel opened as the error panel (errorPanel YES)
// clears gShowingError when it closes; other panels leave the flag alone. Main thread only.

#include <QDialog>
#include <QPointer>

#include <functional>

class QAbstractButton;
class QLabel;
class QPushButton;

class FRInfoPanel : public QDialog
{
    Q_OBJECT

public:
    using DidEnd = std::function<void(QAbstractButton *button, int number)>;

    static constexpr int kButtonRightMargin = 14;
    static constexpr int kButtonBottom = 12;
    static constexpr int kButtonMinimumWidth = 82; // the layout's width for a short title

    static FRInfoPanel *runOverWindow(QWidget *window, const QString &title, const QString &message,
                                      const QString &button1, const QString &button2, const QString &button3,
                                      QObject *delegate = nullptr, DidEnd didEnd = {}, bool errorPanel = false);

    FRInfoPanel(QWidget *window, const QString &title, const QString &message, const QString &button1,
                const QString &button2, const QString &button3, QObject *delegate, DidEnd didEnd,
                bool errorPanel);

    void run();
    // The action of all three buttons.
    void didEnd(QAbstractButton *sender);

    QPushButton *button(int number) const;
    QString title() const;
    QString message() const;

private:
    void placeButton(QPushButton *&button, const QString &text);

    QPointer<QWidget> mWindow;
    QPointer<QObject> mDelegate;
    DidEnd mDidEnd;
    bool mErrorPanel;
    bool mHasDelegate;
    int mButtonLeft = kButtonRightMargin;
    QLabel *mTitle = nullptr;
    QLabel *mMessage = nullptr;
    QLabel *mIcon = nullptr;
    QPushButton *mButton1 = nullptr;
    QPushButton *mButton2 = nullptr;
    QPushButton *mButton3 = nullptr;
};
