#include "QNSecurityWindow.h"

#include "platform/Paths.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

QNSecurityWindow::QNSecurityWindow(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("QNSecurityWindow"));
    setWindowTitle(tr("Allow Access to Backups"));
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(tr("Quillon cannot read your device backups."), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    auto *text = new QLabel(tr("The folder that holds the backups of your devices may not be read by your "
                               "user account:\n\n%1\n\nGive your account read access to this folder and "
                               "its contents, then choose Refresh or start Quillon again.")
                                .arg(Paths::backupFolder()),
                            this);
    text->setObjectName(QStringLiteral("securityText"));
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(title);
    layout->addWidget(text);
    layout->addWidget(buttons);
}
