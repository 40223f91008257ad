#pragma once
// Length limits of a text field (the note title fields: at most 50, at least 1). A keystroke
// that would make the text longer than the maximum is refused; a text shorter than the
// minimum is replaced, when the field is left, by the last accepted one. Lengths are counted
// in characters as a person sees them, so an emoji or an accented letter made of several code
// points counts once and is never cut in half. Main thread.

#include <QValidator>

class LengthFormatter : public QValidator
{
    Q_OBJECT

public:
    LengthFormatter(int maxLength, int minLength, const QString &string, QObject *parent = nullptr);

    static int characterCount(const QString &text);

    // The value for a finished entry: too long is refused (NO); too short gives the last
    // accepted value; otherwise the entry, which becomes the last accepted value.
    bool getObjectValue(QString *result, const QString &string);
    bool isPartialStringValid(const QString &partial) const;
    QString nonBlankValue() const { return mNonBlankValue; }

    State validate(QString &input, int &pos) const override;
    void fixup(QString &input) const override;

private:
    int mMaxLength;
    int mMinLength;
    QString mNonBlankValue;
};
