#include "window/TransferStatusSheet.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

TransferStatusSheet::TransferStatusSheet(QWidget *window) : QDialog(window)
{
    setObjectName(QStringLiteral("statusSheet"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(420);
    auto *layout = new QVBoxLayout(this);
    statusSheetText = new QLabel(this);
    statusSheetText->setObjectName(QStringLiteral("statusSheetText"));
    statusSheetIndicator = new QProgressBar(this);
    statusSheetIndicator->setObjectName(QStringLiteral("statusSheetIndicator"));
    statusSheetIndicator->setTextVisible(false);
    statusFile = new QLabel(this);
    statusFile->setObjectName(QStringLiteral("statusFile"));
    statusFile->setTextFormat(Qt::PlainText);
    statusFile->setMinimumWidth(380);
    statusCancelButton = new QPushButton(tr("Cancel"), this);
    statusCancelButton->setObjectName(QStringLiteral("statusCancelButton"));
    layout->addWidget(statusSheetText);
    layout->addWidget(statusSheetIndicator);
    layout->addWidget(statusFile);
    layout->addWidget(statusCancelButton, 0, Qt::AlignRight);
    connect(statusCancelButton, &QPushButton::clicked, this, &TransferStatusSheet::cancelClicked);
}

void TransferStatusSheet::reject()
{
    if (statusCancelButton->isEnabled())
        statusCancelButton->click();
}
