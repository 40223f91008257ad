#pragma once
// One node of an outline tree: the Safari groups ("Open Pages", "History" and its days,
// "Bookmarks" and its folders) and the conversation sidebar of the messages list. A named
// node gets the next number of one process-wide counter (1 for the first, never reset);
// a dictionary node (a conversation) has number 0 and a service type.
//
// Ownership: nodes own their children (shared). The shared root is replaced by
// flushRootItem; rootItem and flushRootItem may be called from any thread. A tree is
// built on one thread and read-only once attached under the root.

#include <QList>
#include <QString>
#include <QVariantMap>

#include <memory>

class FRWebTreeItem;
using FRWebTreeItemPtr = std::shared_ptr<FRWebTreeItem>;

class FRWebTreeItem
{
public:
    static FRWebTreeItemPtr itemWithInfo(const QString &name);
    static FRWebTreeItemPtr itemWithDict(const QVariantMap &dict, const QString &type = QString(QStringLiteral("")));
    static FRWebTreeItemPtr rootItem();
    static FRWebTreeItemPtr flushRootItem();

    void addChild(const FRWebTreeItemPtr &child) { mChildren.append(child); }
    void insertChild(const FRWebTreeItemPtr &child, int index);
    int numChildren() const { return int(mChildren.size()); }
    FRWebTreeItemPtr childAtIndex(int index) const;
    QVariantMap dictItem() const { return mDict; }
    QString type() const { return mType; }
    int ID() const { return mID; }
    QString label() const;

private:
    QString mName;
    QList<FRWebTreeItemPtr> mChildren;
    int mID = 0;
    QVariantMap mDict;
    QString mType;
    bool mNamed = false;
};
