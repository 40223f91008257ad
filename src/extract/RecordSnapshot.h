#pragma once
// A category's record list as the list controllers receive it: made once, never changed
// afterwards. Every request that has something new to say makes a new list, so a controller
// that still shows an older one is never handed rows that change under its table. Null means
// the request gave nothing (its error code says why).

#include <QList>

#include <memory>

template <class Record>
using RecordSnapshot = std::shared_ptr<const QList<std::shared_ptr<Record>>>;

template <class Record>
RecordSnapshot<Record> makeSnapshot(QList<std::shared_ptr<Record>> records)
{
    return std::make_shared<const QList<std::shared_ptr<Record>>>(std::move(records));
}
