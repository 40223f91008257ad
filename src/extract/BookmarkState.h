#pragma once
// What the last Safari load left for the Safari view: the records (guarded by bookmarkLock)
// and their count. The group tree hangs under FRWebTreeItem::rootItem().

#include "personal/FRBookmarkInfo.h"
#include "personal/FRWebTreeItem.h"

#include <QList>

#include <atomic>

extern QList<FRBookmarkInfoPtr> gBookmarks;
extern std::atomic<int> gNumBookmarks;
