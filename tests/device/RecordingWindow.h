#pragma once
// A stand-in for the main window in core tests: records every reporting call, in order, with
// its arguments, and answers opened() as a test sets it. Main thread only, like the window.

#include "interfaces/FRWindowHub.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

class RecordingWindow : public FRWindowHub
{
public:
    struct Call
    {
        QString name;
        QString text;  // text argument, or the number for loadData / error codes
        QString extra; // status colour, device name, ...
    };

    bool askAboutQuitting() override { return false; }
    void closeup() override { record(QStringLiteral("closeup")); }
    void setStatusMessage(const QString &text, const QString &status,
                          const QString &deviceName) override
    {
        record(QStringLiteral("setStatusMessage"), text, status + QLatin1Char('|') + deviceName);
        statusText = text;
        statusColour = status;
    }
    void updateDevicesMenuContents(const QList<ConnectedDeviceEntry> &entries) override
    {
        menu = entries;
        record(QStringLiteral("updateDevicesMenuContents"), QString::number(entries.size()));
    }
    void updateDevicesMenuSelection(const ConnectedDeviceEntry &entry) override
    {
        record(QStringLiteral("updateDevicesMenuSelection"), entry.uid());
    }
    void setupDevice() override { record(QStringLiteral("setupDevice")); }
    void loadData(int deviceInstance) override
    {
        record(QStringLiteral("loadData"), QString::number(deviceInstance));
    }
    void doRefresh() override { record(QStringLiteral("doRefresh")); }
    void showErrorOnMain() override { record(QStringLiteral("showErrorOnMain")); }
    void reportPassCodeError(int code) override
    {
        record(QStringLiteral("reportPassCodeError"), QString::number(uint(code), 16));
    }
    void reportiTunes81Required() override { record(QStringLiteral("reportiTunes81Required")); }
    void showInformationPanel(const QString &title, const QString &text) override
    {
        record(QStringLiteral("showInformationPanel"), title, text);
    }
    bool opened() const override { return isOpen; }
    void stopPhotosThread() override { record(QStringLiteral("stopPhotosThread")); }
    void refreshBackupWindows() override { record(QStringLiteral("refreshBackupWindows")); }
    // The progress calls come from session threads, so they are kept apart from the
    // main-thread call list.
    void setBackupProgressMax(double max) override { progressMax = max; }
    void setBackupProgressValue(double value) override { progressValue = value; }
    void showBackupsAccessHelp() override { record(QStringLiteral("showBackupsAccessHelp")); }
    std::atomic<double> progressMax{0};
    std::atomic<double> progressValue{0};
    void loadArchiveWindows() override { record(QStringLiteral("loadArchiveWindows")); }
    void updateCallArchive() override { record(QStringLiteral("updateCallArchive")); }
    void updateSMSArchive() override { record(QStringLiteral("updateSMSArchive")); }
    void updateVoicemailArchive() override { record(QStringLiteral("updateVoicemailArchive")); }
    // The list controllers a test stands in (asked on load threads; set before they run).
    SMSDataController *smsDataController() const override { return smsController; }
    CallListController *callDataController() const override { return callController; }
    CallListController *itunesDataController() const override { return voicemailController; }
    SMSDataController *smsController = nullptr;
    CallListController *callController = nullptr;
    CallListController *voicemailController = nullptr;
    void setThreadRunning(bool running) override
    {
        record(QStringLiteral("setThreadRunning"), running ? QStringLiteral("YES") : QStringLiteral("NO"));
    }
    void initiateIndeterminateProgressAfterAFewSeconds(const QString &text) override
    {
        record(QStringLiteral("initiateIndeterminateProgressAfterAFewSeconds"), text);
    }

    int count(const QString &name) const
    {
        int n = 0;
        for (const Call &call : calls)
            n += call.name == name;
        return n;
    }
    QStringList argumentsOf(const QString &name) const
    {
        QStringList found;
        for (const Call &call : calls)
            if (call.name == name)
                found << call.text;
        return found;
    }
    QStringList names() const
    {
        QStringList found;
        for (const Call &call : calls)
            found << call.name;
        return found;
    }
    void clear() { calls.clear(); }

    bool isOpen = true;
    QList<Call> calls;
    QList<ConnectedDeviceEntry> menu;
    QString statusText;
    QString statusColour;

private:
    void record(const QString &name, const QString &text = {}, const QString &extra = {})
    {
        calls.append({name, text, extra});
    }
};
