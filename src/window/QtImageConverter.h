#pragma once
// The window library's image converter (interfaces/ImageConverter.h), done with QImage.
// Installed once at start-up by GuiProviders; safe on any thread (QImage and QImageReader
// are reentrant, and the object has no state).

#include "interfaces/ImageConverter.h"

class QtImageConverter : public ImageConverter
{
public:
    int orientation(const QByteArray &data) const override;
    QByteArray uprightJPEG(const QByteArray &data, int quality) const override;
    QByteArray quarterTurnedJPEG(const QByteArray &data, int quality) const override;
    QByteArray scaledToSize(const QByteArray &data, int width, int height) const override;
};
