#include "LengthFormatter.h"

#include <QTextBoundaryFinder>

LengthFormatter::LengthFormatter(int maxLength, int minLength, const QString &string, QObject *parent)
    : QValidator(parent)
    , mMaxLength(maxLength)
    , mMinLength(minLength)
    , mNonBlankValue(string)
{
}

int LengthFormatter::characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1)
        ++count;
    return count;
}

bool LengthFormatter::getObjectValue(QString *result, const QString &string)
{
    if (!result || characterCount(string) > mMaxLength)
        return false;
    if (characterCount(string) < mMinLength) {
        *result = mNonBlankValue;
        return true;
    }
    mNonBlankValue = string;
    *result = string;
    return true;
}

bool LengthFormatter::isPartialStringValid(const QString &partial) const
{
    return characterCount(partial) <= mMaxLength;
}

QValidator::State LengthFormatter::validate(QString &input, int &) const
{
    if (!isPartialStringValid(input))
        return Invalid;
    return characterCount(input) < mMinLength ? Intermediate : Acceptable;
}

void LengthFormatter::fixup(QString &input) const
{
    if (characterCount(input) < mMinLength)
        input = mNonBlankValue;
}
