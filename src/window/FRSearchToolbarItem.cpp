#include "FRSearchToolbarItem.h"

#include <QLineEdit>

FRSearchToolbarItem::FRSearchToolbarItem(const QString &identifier, QWidget *controller, QLineEdit *searchField)
    : QWidgetAction(controller)
    , mController(controller)
    , mSearchField(searchField)
{
    setObjectName(identifier);
    setDefaultWidget(searchField);
}

void FRSearchToolbarItem::validate()
{
    if (!mController || !mSearchField)
        return;
    bool enabled = true;
    const int slot = mController->metaObject()->indexOfMethod("validateSelector(QString)");
    if (slot >= 0)
        QMetaObject::invokeMethod(mController, "validateSelector", Qt::DirectConnection, Q_RETURN_ARG(bool, enabled),
                                  Q_ARG(QString, QStringLiteral("doSearch:")));
    mSearchField->setEnabled(enabled);
}
