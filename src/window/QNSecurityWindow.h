#pragma once
// The help window shown when Quillon may not read the folder of device backups: where the
// folder is and how to let Quillon read it. A modeless dialog over the main window, made once
// and shown again on later refusals. Main thread.

#include <QDialog>

class QNSecurityWindow : public QDialog
{
public:
    explicit QNSecurityWindow(QWidget *parent = nullptr);
};
