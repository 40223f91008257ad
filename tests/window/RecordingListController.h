#pragma once
// A stand-in list controller for window tests: answers the list-controller interface as a
// test sets it (its kind, whether it has data, whether a search runs, which files it takes)
// and records every call, in order, with its argument. Main thread only, like the window.

#include "interfaces/ListControllerInterface.h"

#include <QObject>
#include <QStringList>

class RecordingListController : public ListControllerInterface
{
public:
    explicit RecordingListController(Kind kind)
        : mKind(kind)
    {
    }

    Kind kind() const override { return mKind; }
    bool hasData() const override { return data; }
    void refreshSMS(bool yes) override { record("refreshSMS", yes ? "YES" : "NO"); }
    void refreshCalls(bool yes) override { record("refreshCalls", yes ? "YES" : "NO"); }
    void refreshNotes() override { record("refreshNotes"); }
    void refreshAddresses() override { record("refreshAddresses"); }
    void refreshBookmarks() override { record("refreshBookmarks"); }
    void refreshTracks(const QString &mode, bool changeMode) override
    {
        record("refreshTracks", mode + (changeMode ? " YES" : " NO"));
    }
    void flush() override { record("flush"); }
    void beginSearch(const QString &text) override
    {
        record("beginSearch", text);
        finding = !text.isEmpty() && keepsFinding;
    }
    bool isFinding() const override { return finding; }
    void cancelFindString() override
    {
        record("cancelFindString");
        finding = false;
    }
    int numDragging() const override { return int(dragged.size()); }
    QList<QVariantMap> dragItems() const override { return dragged; }
    bool acceptFiles(const QStringList &paths) const override
    {
        for (const QString &path : paths) {
            if (!acceptedSuffixes.contains(path.section(QLatin1Char('.'), -1)))
                return false;
        }
        return !paths.isEmpty();
    }

    void tableBecameKey(QObject *view) override { record("tableBecameKey", view ? view->objectName() : QString()); }

    QStringList names() const
    {
        QStringList found;
        for (const auto &call : calls)
            found << call.first;
        return found;
    }
    QStringList argumentsOf(const QString &name) const
    {
        QStringList found;
        for (const auto &call : calls)
            if (call.first == name)
                found << call.second;
        return found;
    }
    void clear() { calls.clear(); }

    bool data = false;
    bool finding = false;
    bool keepsFinding = false; // a search stays running once begun
    QStringList acceptedSuffixes{"txt", "html"};
    QList<QVariantMap> dragged;
    QList<std::pair<QString, QString>> calls;

private:
    void record(const char *name, const QString &argument = {}) { calls.append({QString::fromLatin1(name), argument}); }

    Kind mKind;
};

// The seven controllers of a window, set on it.
struct RecordingControllers
{
    using Kind = ListControllerInterface::Kind;
    RecordingListController itunes{Kind::Media}, iphoto{Kind::Photos}, notes{Kind::Notes}, sms{Kind::Messages},
        calls{Kind::Calls}, address{Kind::Contacts}, bookmarks{Kind::Bookmarks};

    template <typename Window>
    void setOn(Window &window)
    {
        window.setItunesController(&itunes);
        window.setIphotoController(&iphoto);
        window.setNotesController(&notes);
        window.setSmsController(&sms);
        window.setCallController(&calls);
        window.setAddressController(&address);
        window.setBookmarkController(&bookmarks);
    }
    QList<RecordingListController *> all()
    {
        return {&itunes, &iphoto, &notes, &sms, &calls, &address, &bookmarks};
    }
    void clear()
    {
        for (RecordingListController *c : all())
            c->clear();
    }
};
