#pragma once
// Compares two decoded trees by kind as well as value: QVariant's == converts between
// numeric kinds, but a round trip through a property list or keyed archive must keep an
// integer an integer, a real a real and a boolean a boolean.

#include <QString>
#include <QVariant>

void expectSameTree(const QVariant &expected, const QVariant &actual, const QString &where = {});
