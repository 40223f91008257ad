#include "messages/SMSDataController.h"

void SMSDataController::setNumTotalSMS(int total)
{
    std::lock_guard lock(mLock);
    mNumTotalSMS = total;
}

int SMSDataController::numTotalSMS() const
{
    std::lock_guard lock(mLock);
    return mNumTotalSMS;
}

void SMSDataController::setHasMessages(bool has)
{
    std::lock_guard lock(mLock);
    mHasMessages = has;
}

void SMSDataController::setHasWA(bool has)
{
    std::lock_guard lock(mLock);
    mHasWA = has;
}

void SMSDataController::setHasFB(bool has)
{
    std::lock_guard lock(mLock);
    mHasFB = has;
}

bool SMSDataController::hasMessages() const
{
    std::lock_guard lock(mLock);
    return mHasMessages;
}

bool SMSDataController::hasWA() const
{
    std::lock_guard lock(mLock);
    return mHasWA;
}

bool SMSDataController::hasFB() const
{
    std::lock_guard lock(mLock);
    return mHasFB;
}

void SMSDataController::setWAImage(const QByteArray &image)
{
    std::lock_guard lock(mLock);
    mWAImage = image;
}

void SMSDataController::setFBImage(const QByteArray &image)
{
    std::lock_guard lock(mLock);
    mFBImage = image;
}

QByteArray SMSDataController::waImage() const
{
    std::lock_guard lock(mLock);
    return mWAImage;
}

QByteArray SMSDataController::fbImage() const
{
    std::lock_guard lock(mLock);
    return mFBImage;
}

bool SMSDataController::individualThread() const
{
    std::lock_guard lock(mLock);
    return mIndividualThread;
}

void SMSDataController::setIndividualThread(bool individual)
{
    std::lock_guard lock(mLock);
    mIndividualThread = individual;
}
