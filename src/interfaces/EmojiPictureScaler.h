#pragma once
// Scales the small emoji pictures that stand in for SoftBank emoji where no emoji font
// exists. Scaling needs an image library, which core does not link: the window library
// implements this and installs it at start-up; core tests install a recording one.
//
// Any thread may call scaledPicture; an implementation must be safe for that.

#include <QByteArray>

class EmojiPictureScaler
{
public:
    virtual ~EmojiPictureScaler() = default;
    // `rgba` is one picture of `size` x `size` pixels, 8-bit RGBA rows, alpha last and not
    // premultiplied. The result is the picture scaled to `points` x `points` as PNG data;
    // empty when it cannot be made.
    virtual QByteArray scaledPicture(const QByteArray &rgba, int size, int points) = 0;

    // The installed scaler, or null.
    static EmojiPictureScaler *installed();
    static void install(EmojiPictureScaler *scaler);
};
