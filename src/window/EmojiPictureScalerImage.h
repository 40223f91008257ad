#pragma once
// The window library's emoji picture scaler (interfaces/EmojiPictureScaler.h): QImage does
// the scaling. Installed once at start-up; safe on any thread (QImage is reentrant and the
// object has no state).

#include "interfaces/EmojiPictureScaler.h"

class EmojiPictureScalerImage : public EmojiPictureScaler
{
public:
    QByteArray scaledPicture(const QByteArray &rgba, int size, int points) override;
};
