#pragma once
// The toolbar's search field as a toolbar item. It serves a window (the main window or an
// archive window, not owned) and is enabled exactly when that window's "validateSelector"
// answers YES for "doSearch:"; a window without that slot leaves it enabled. Main thread.

#include <QPointer>
#include <QWidgetAction>

class QLineEdit;

class FRSearchToolbarItem : public QWidgetAction
{
    Q_OBJECT

public:
    FRSearchToolbarItem(const QString &identifier, QWidget *controller, QLineEdit *searchField);

    QLineEdit *searchField() const { return mSearchField; }
    void validate();

private:
    QPointer<QWidget> mController;
    QLineEdit *mSearchField;
};
