#pragma once
// The HTML view of messages and notes. It takes drags only inside a sheet (the note edit
// sheet), and never files. Main thread only.

#include <QTextBrowser>

class QMimeData;

class FRWebView : public QTextBrowser
{
    Q_OBJECT

public:
    explicit FRWebView(QWidget *parent = nullptr);
    bool allowDrag(const QMimeData *data) const;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
};
