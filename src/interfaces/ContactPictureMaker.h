#pragma once
// Draws the initials picture that stands in for a contact without a photo (a grey square
// with one or two white letters). Drawing needs QtGui, which core does not link: the window
// library installs a maker at start-up; without one the contact simply has no picture.
//
// Any thread may call initialsPicture; an implementation must be safe for that and must not
// wait for the main thread.

#include <QByteArray>
#include <QString>

#include <memory>

class ContactPictureMaker
{
public:
    virtual ~ContactPictureMaker() = default;
    // `initials`: one or two upper-case letters. Encoded image data, or empty.
    virtual QByteArray initialsPicture(const QString &initials) const = 0;

    static void install(std::shared_ptr<const ContactPictureMaker> maker);
    // The installed maker, or null.
    static std::shared_ptr<const ContactPictureMaker> maker();
};
