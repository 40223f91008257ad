#pragma once
// Draws the initials picture of a contact without a photo for the contact-name lookup
// (interfaces/ContactPictureMaker.h): a 100 by 100 grey square with the white initials
// centred, as PNG. QImage and QPainter on an image work on any thread.

#include "interfaces/ContactPictureMaker.h"

class InitialsPicture : public ContactPictureMaker
{
public:
    QByteArray initialsPicture(const QString &initials) const override;
};
