#pragma once
// Holds the direct binary reader of keyed archives to the decode through the property-list
// tree: both must yield the same value tree, kinds and all (an integer stays an integer, a
// null string null), or both refuse with the same text. Shared by the tests and the fuzz
// target, so it reports rather than asserts.

#include <QByteArray>
#include <QString>

// Empty when both decodes agree on `archive`; else what differs.
QString keyedDecodeDifference(const QByteArray &archive, const QString &topKey = QStringLiteral("root"));

// The same over damaged copies of `archive`: every byte changed to its complement, its
// neighbours and zero, and every truncation. Empty when every copy agrees; else the first
// copy that does not, and how.
QString keyedDecodeDamageDifference(const QByteArray &archive);
