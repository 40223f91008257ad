#pragma once
// An image converter for core tests: it records every call, and answers through the real
// converter it is given (the window library's, where the test program links it) or, without
// one, as if nothing decodes (empty data), which is what core meets on a system that cannot
// read a picture.

#include "interfaces/ImageConverter.h"

#include <QStringList>

#include <memory>
#include <mutex>

class RecordingImageConverter : public ImageConverter
{
public:
    explicit RecordingImageConverter(std::shared_ptr<const ImageConverter> real = nullptr)
        : mReal(std::move(real))
    {
    }

    int orientation(const QByteArray &data) const override
    {
        record(QStringLiteral("orientation"));
        return mReal ? mReal->orientation(data) : 0;
    }
    QByteArray uprightJPEG(const QByteArray &data, int quality) const override
    {
        record(QStringLiteral("uprightJPEG %1").arg(quality));
        return mReal ? mReal->uprightJPEG(data, quality) : QByteArray();
    }
    QByteArray quarterTurnedJPEG(const QByteArray &data, int quality) const override
    {
        record(QStringLiteral("quarterTurnedJPEG %1").arg(quality));
        return mReal ? mReal->quarterTurnedJPEG(data, quality) : QByteArray();
    }
    QByteArray scaledToSize(const QByteArray &data, int width, int height) const override
    {
        record(QStringLiteral("scaledToSize %1x%2").arg(width).arg(height));
        return mReal ? mReal->scaledToSize(data, width, height) : QByteArray();
    }

    QStringList calls() const
    {
        std::lock_guard lock(mMutex);
        return mCalls;
    }

private:
    void record(const QString &call) const
    {
        std::lock_guard lock(mMutex);
        mCalls.append(call);
    }

    std::shared_ptr<const ImageConverter> mReal;
    mutable std::mutex mMutex;
    mutable QStringList mCalls;
};
