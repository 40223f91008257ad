#pragma once
// The messages list controller, as far as the message records and the archive reader need
// it: the list's totals and which services it holds, the account pictures of WhatsApp and
// Messenger, and whether a single conversation is shown. The loading, threading, search and
// table model of the list join this class with the messages list.
//
// Threads: the setters are called on load threads, the getters anywhere; every value is
// kept under the controller's own lock.

#include <QByteArray>

#include <mutex>

class SMSDataController
{
public:
    virtual ~SMSDataController() = default;

    void setNumTotalSMS(int total);
    int numTotalSMS() const;
    void setHasMessages(bool has);
    void setHasWA(bool has);
    void setHasFB(bool has);
    bool hasMessages() const;
    bool hasWA() const;
    bool hasFB() const;
    void setWAImage(const QByteArray &image);
    void setFBImage(const QByteArray &image);
    QByteArray waImage() const;
    QByteArray fbImage() const;
    // The list shows one conversation only.
    virtual bool individualThread() const;
    void setIndividualThread(bool individual);

private:
    mutable std::mutex mLock;
    int mNumTotalSMS = 0;
    bool mHasMessages = false, mHasWA = false, mHasFB = false, mIndividualThread = false;
    QByteArray mWAImage, mFBImage;
};
