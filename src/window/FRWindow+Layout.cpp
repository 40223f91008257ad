// The expanded window's layout: the toolbar with the search field, the source list with the
// backup progress bar below it, and one view per mode, some of them split. Divider positions
// are kept per split view under their own keys: restored when the mode is shown, saved and
// collapsed when it is left, and saved at quit and on device loss. A collapsed pane is never
// saved, so a mode not shown keeps its stored divider.

#include "FRWindow.h"

#include "FRDragTableView.h"
#include "FROutlineView.h"
#include "FRSearchToolbarItem.h"
#include "FRTableView.h"
#include "FRWebView.h"
#include "LNSSourceListView.h"
#include "shell/RecordTableModel.h"
#include "shell/RecordTreeModel.h"
#include "SourceListModel.h"
#include "platform/UserDefaults.h"
#include "shell/VarnekLogger.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QColumnView>
#include "window/ICDragDropBrowser.h"
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

// A pane of a mode view, holding `content` when given; the lists and viewers come with their
// features, the tables already show their columns.
QWidget *pane(const QString &name, QWidget *parent, QWidget *content = nullptr)
{
    auto *widget = new QWidget(parent);
    widget->setObjectName(name);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    if (content) {
        content->setParent(widget);
        layout->addWidget(content);
    }
    return widget;
}

// A table of the window's lists with its column identifiers and titles.
FRTableView *table(const QString &name, const QList<std::pair<const char *, const char *>> &columns,
                   FRTableView *view = nullptr)
{
    if (!view)
        view = new FRTableView;
    view->setObjectName(name);
    // Narrow enough that the call log's five columns fit the window at its first width
    // instead of cutting off the last title.
    view->horizontalHeader()->setDefaultSectionSize(80);
    QList<RecordTableModel::Column> titled;
    for (const auto &[identifier, title] : columns)
        titled.append({QString::fromLatin1(identifier), QCoreApplication::translate("FRWindow", title)});
    view->setModel(new RecordTableModel(titled, view));
    fixTableHeader(view);
    return view;
}

QSplitter *split(const QString &name, Qt::Orientation orientation, QWidget *first, QWidget *second, QWidget *parent)
{
    auto *splitter = new QSplitter(orientation, parent);
    splitter->setObjectName(name);
    splitter->setChildrenCollapsible(true);
    splitter->setHandleWidth(orientation == Qt::Horizontal ? 1 : 9);
    splitter->addWidget(first);
    splitter->addWidget(second);
    first->setParent(splitter);
    second->setParent(splitter);
    return splitter;
}

int storedExtent(const QString &key)
{
    const QVariant stored = UserDefaults::standard().objectForKey(key);
    return stored.isValid() ? int(variantDoubleValue(stored)) : -1;
}

} // namespace

QVariantList FRWindow::generateSourceList()
{
    auto rows = [](std::initializer_list<std::pair<const char *, const char *>> entries) {
        QVariantList children;
        for (const auto &[name, mode] : entries)
            children << QVariantMap{{QStringLiteral("name"), QString::fromLatin1(name)},
                                    {QStringLiteral("mode"), QString::fromLatin1(mode)}};
        return children;
    };
    auto group = [](const char *name, const QVariantList &children) {
        return QVariantMap{{QStringLiteral("isSourceGroup"), true},
                           {QStringLiteral("name"), QCoreApplication::translate("FRWindow", name)},
                           {QStringLiteral("children"), children}};
    };
    static const QVariantList tree{
        group("Data", rows({{"Messages", "SMS"},
                            {"Voicemail", "VOICEMAIL"},
                            {"Call Log", "LOG"},
                            {"Contacts", "CONTACTS"},
                            {"Notes", "NOTES"},
                            {"Web", "WEB"},
                            {"Apps", "FILESHARING"},
                            {"Disk", "FILE"}})),
        group("Media", rows({{"Music", "MUSIC"},
                             {"Videos", "VIDEO"},
                             {"Books", "AUDIOBOOK"},
                             {"Podcasts", "PODCAST"},
                             {"Ringtones", "RINGTONE"},
                             {"Photos", "PHOTOS"},
                             {"Voice Memos", "RECORDINGS"}})),
    };
    return tree;
}

void FRWindow::buildDeviceArea(QWidget *area)
{
    auto *column = new QVBoxLayout(area);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The toolbar sits inside the expanded area so the strip stays 45 points high.
    mToolbar = new QToolBar(area);
    mToolbar->setObjectName(QStringLiteral("toolbar"));
    mToolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    auto *spacer = new QWidget(mToolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    mSearchField = new QLineEdit(mToolbar);
    mSearchField->setObjectName(QStringLiteral("searchField"));
    mSearchField->setPlaceholderText(tr("Search"));
    mSearchField->setClearButtonEnabled(true);
    mSearchField->setMaximumWidth(200);
    connect(mSearchField, &QLineEdit::textChanged, this, [this] { doSearch(); });
    mToolbar->addWidget(spacer)->setObjectName(QStringLiteral("Flexible Space"));
    mToolbar->addAction(new FRSearchToolbarItem(QStringLiteral("Search Item Identifier"), this, mSearchField));
    column->addWidget(mToolbar);

    auto *body = new QHBoxLayout;
    body->setContentsMargins(0, 0, 0, 0);
    body->setSpacing(0);
    auto *side = new QWidget(area);
    side->setObjectName(QStringLiteral("sourceSide"));
    side->setFixedWidth(170);
    auto *sideColumn = new QVBoxLayout(side);
    sideColumn->setContentsMargins(0, 0, 0, 0);
    sideColumn->setSpacing(0);
    mSourceList = new LNSSourceListView(this, side);
    mSourceList->setAppearance(0);
    mBackupProgress = new QProgressBar(side);
    mBackupProgress->setObjectName(QStringLiteral("backupProgress"));
    mBackupProgress->setTextVisible(false);
    mBackupProgress->setFixedHeight(6);
    mBackupProgress->hide();
    sideColumn->addWidget(mSourceList, 1);
    sideColumn->addWidget(mBackupProgress);
    body->addWidget(side);

    mModeViews = new QStackedWidget(area);
    mModeViews->setObjectName(QStringLiteral("modeViews"));
    buildModeViews();
    body->addWidget(mModeViews, 1);
    column->addLayout(body, 1);

    mSourceList->setSourceList(generateSourceList());
}

void FRWindow::buildModeViews()
{
    QWidget *stack = mModeViews;
    auto *threadList = new FROutlineView;
    threadList->setObjectName(QStringLiteral("threadList"));
    threadList->setModel(new RecordTreeModel(QStringLiteral("name"), threadList));
    smsView = split(QStringLiteral("smsView"), Qt::Horizontal, pane(QStringLiteral("threadView"), stack, threadList),
                    pane(QStringLiteral("smsBrowser"), stack, table(QStringLiteral("smsTable"), {{"SMSRow", "Message"}})),
                    stack);
    noteView = split(QStringLiteral("noteView"), Qt::Vertical,
                     pane(QStringLiteral("notesList"), stack,
                          table(QStringLiteral("noteList"), {{"noteDate", "Date"}, {"noteTitle", "Note"}},
                                new FRDragTableView)),
                     pane(QStringLiteral("noteArea"), stack, new FRWebView), stack);
    photoBrowser = split(QStringLiteral("photoBrowser"), Qt::Horizontal,
                         pane(QStringLiteral("albumView"), stack, new QListView),
                         pane(QStringLiteral("photoView"), stack,
                              table(QStringLiteral("photoTable"),
                                    {{"thumb", "Thumb"}, {"date", "Date"}, {"fileName", "Description"}})),
                         stack);
    addressBrowser = split(QStringLiteral("addressBrowser"), Qt::Horizontal,
                           pane(QStringLiteral("groupView"), stack, new QListView),
                           pane(QStringLiteral("addressView"), stack, table(QStringLiteral("addressTable"), {{"name", "Name"}})),
                           stack);
    bookmarkBrowser = split(QStringLiteral("bookmarkBrowser"), Qt::Horizontal,
                            pane(QStringLiteral("webView"), stack, new FRWebView),
                            pane(QStringLiteral("bookmarkView"), stack,
                                 table(QStringLiteral("bookmarkTable"), {{"label", "Title"}, {"url", "Address"}})),
                            stack);

    // Disk and Apps share the file browser; Apps shows the app list beside it.
    auto *files = new QWidget(stack);
    files->setObjectName(QStringLiteral("fsBrowserView"));
    auto *filesLayout = new QVBoxLayout(files);
    filesLayout->setContentsMargins(0, 0, 0, 0);
    appsView = pane(QStringLiteral("appsView"), files);
    auto *browser = new ICDragDropBrowser(this);
    setupFileBrowser(browser);
    appSplitView = split(QStringLiteral("appSplitView"), Qt::Horizontal,
                         pane(QStringLiteral("appsLeftSide"), appsView, new QListView),
                         pane(QStringLiteral("appsRightSide"), appsView, browser), appsView);
    appsView->layout()->addWidget(appSplitView);
    filesLayout->addWidget(appsView);

    const QList<QWidget *> views{
        smsView,
        pane(QStringLiteral("voicemailBrowser"), stack,
             table(QStringLiteral("voicemailTable"), {{"DisplayDate", "Date"},
                                                       {"DisplayDuration", "Duration"},
                                                       {"DisplayNumber", "Number"},
                                                       {"DisplayName", "Name"}})),
        pane(QStringLiteral("callBrowser"), stack,
             table(QStringLiteral("callTable"), {{"CallType", "Type"},
                                                 {"CallDate", "Date"},
                                                 {"CallDuration", "Duration"},
                                                 {"CallNumber", "Number"},
                                                 {"CallName", "Name"}})),
        addressBrowser,
        noteView,
        bookmarkBrowser,
        files,
        pane(QStringLiteral("musicBrowser"), stack,
             table(QStringLiteral("musicTable"), {{"artist", "Artist"}, {"albumName", "Album"}, {"trackName", "Name"}})),
        photoBrowser,
        pane(QStringLiteral("recordingsBrowser"), stack,
             table(QStringLiteral("recordingsTable"), {{"recorddate", "Date"}, {"duration", "Duration"}, {"label", "Label"}})),
    };
    for (QWidget *view : views)
        mModeViews->addWidget(view);
}

QWidget *FRWindow::modeView(const QString &name) const
{
    if (!mModeViews)
        return nullptr;
    for (int i = 0; i < mModeViews->count(); ++i) {
        if (mModeViews->widget(i)->objectName() == name)
            return mModeViews->widget(i);
    }
    return nullptr;
}

QSplitter *FRWindow::splitViewForMode(const QString &mode) const
{
    if (mode == QLatin1String("SMS"))
        return smsView;
    if (mode == QLatin1String("FILESHARING"))
        return appSplitView;
    if (mode == QLatin1String("NOTES"))
        return noteView;
    if (mode == QLatin1String("PHOTOS"))
        return photoBrowser;
    if (mode == QLatin1String("CONTACTS"))
        return addressBrowser;
    if (mode == QLatin1String("WEB"))
        return bookmarkBrowser;
    return nullptr;
}

// --- Dividers -----------------------------------------------------------------------------------

void FRWindow::collapseRestoreSplitViewDivider(bool collapse, QWidget *fixedSide, QWidget *variableSide,
                                               QSplitter *view, const QString &pref)
{
    if (!fixedSide || !variableSide || !view)
        return;
    const int fixedIndex = view->indexOf(fixedSide);
    if (fixedIndex < 0 || view->indexOf(variableSide) < 0)
        return;
    const bool sideBySide = view->orientation() == Qt::Horizontal;
    const int thickness = view->handleWidth();
    const QList<int> sizes = view->sizes();
    const int fixedExtent = sizes.value(fixedIndex);
    const int variableExtent = sizes.value(1 - fixedIndex);
    const int total = sideBySide ? view->width() : view->height();
    UserDefaults &defaults = UserDefaults::standard();

    if (collapse) {
        // A pane that is already collapsed is not stored, so its mode keeps its divider.
        const int least = sideBySide ? 0 : 1;
        if (fixedExtent > least && variableExtent > least)
            defaults.setInteger(fixedExtent, pref);
        QList<int> collapsed{0, 0};
        collapsed[1 - fixedIndex] = qMax(total, 1);
        view->setSizes(collapsed);
        return;
    }

    int extent = storedExtent(pref);
    if (sideBySide) {
        if (extent < 0)
            extent = view == appSplitView ? 139 : 130;
    } else {
        const bool stored = extent >= 0;
        if (!stored)
            extent = pref == QLatin1String("SMS_SPLITVIEW_HEIGHT2") ? 100 : total / 2;
        // A stored divider that leaves the other pane less than 8 points, or fills the split
        // view, starts over at 100. Measured against the split view, not the fixed pane: a
        // collapsed pane would make every stored value look too large.
        else if (total - extent < 8 || extent >= total - 1)
            extent = 100;
    }
    if (extent >= total)
        extent = qMax(0, total - thickness - 1);
    QList<int> restored{0, 0};
    restored[fixedIndex] = extent;
    restored[1 - fixedIndex] = qMax(0, total - extent - thickness);
    view->setSizes(restored);
}

void FRWindow::setupSplitViews()
{
    if (!mModeViews)
        return;
    // Sizes are measured on laid-out views.
    if (centralWidget() && centralWidget()->layout())
        centralWidget()->layout()->activate();
    if (mDeviceArea && mDeviceArea->layout())
        mDeviceArea->layout()->activate();
    if (QWidget *shown = currentModeView())
        shown->resize(mModeViews->size());
    for (QSplitter *view : {smsView, noteView, photoBrowser, addressBrowser, bookmarkBrowser})
        view->resize(mModeViews->size());
    appSplitView->resize(mModeViews->size());

    struct Divider
    {
        QSplitter *view;
        const char *fixed;
        const char *variable;
        const char *key;
        bool shown;
    };
    const Divider dividers[] = {
        {smsView, "threadView", "smsBrowser", "SMS_SPLITVIEW_WIDTH", isSMSMode()},
        {appSplitView, "appsLeftSide", "appsRightSide", "SHARING_SPLITVIEW_WIDTH2", isFileSharingMode()},
        {noteView, "noteArea", "notesList", "NOTES_SPLITVIEW_HEIGHT", isNotesMode()},
        {photoBrowser, "albumView", "photoView", "ALBUMS_SPLITVIEW_WIDTH", isPhotoMode()},
        {addressBrowser, "groupView", "addressView", "GROUPS_SPLITVIEW_WIDTH", isAddressMode()},
        {bookmarkBrowser, "webView", "bookmarkView", "BOOKMARKS_SPLITVIEW_WIDTH", isBookmarkMode()},
    };
    for (const Divider &d : dividers) {
        collapseRestoreSplitViewDivider(!d.shown, d.view->findChild<QWidget *>(QLatin1String(d.fixed)),
                                        d.view->findChild<QWidget *>(QLatin1String(d.variable)), d.view,
                                        QLatin1String(d.key));
    }
    // The bar stays above every view.
    if (mBackupProgress)
        mBackupProgress->raise();
}

void FRWindow::closeup()
{
    VarnekLog("FRWindow: closeup");
    hideAllSpinners();
    // Only an expanded window shows the dividers the user set; the strip's views are squeezed
    // or hidden, and storing their sizes would replace the user's.
    if (mModeViews && mOpened) {
        struct Saved
        {
            QSplitter *view;
            const char *fixed;
            const char *variable;
            const char *key;
        };
        const Saved saved[] = {
            {smsView, "threadView", "smsBrowser", "SMS_SPLITVIEW_WIDTH"},
            {noteView, "noteArea", "notesList", "NOTES_SPLITVIEW_HEIGHT"},
            {photoBrowser, "albumView", "photoView", "ALBUMS_SPLITVIEW_WIDTH"},
            {addressBrowser, "groupView", "addressView", "GROUPS_SPLITVIEW_WIDTH"},
            {bookmarkBrowser, "webView", "bookmarkView", "BOOKMARKS_SPLITVIEW_WIDTH"},
            {appSplitView, "appsLeftSide", "appsRightSide", "SHARING_SPLITVIEW_WIDTH2"},
        };
        for (const Saved &s : saved) {
            collapseRestoreSplitViewDivider(true, s.view->findChild<QWidget *>(QLatin1String(s.fixed)),
                                            s.view->findChild<QWidget *>(QLatin1String(s.variable)), s.view,
                                            QLatin1String(s.key));
        }
    }
    setWindowSize(false, true);
}

// --- Source list ------------------------------------------------------------------------------------

void FRWindow::outlineViewSelectionDidChange()
{
    if (!mSourceList)
        return;
    const QString mode = mSourceList->selectedMode();
    VarnekLog("outlineViewSelectionDidChange %s", qUtf8Printable(mode));
    // Group rows and an empty selection carry no mode.
    if (mode.isEmpty())
        return;
    mCurrentMode = mode;
    changeModes();
    // Stored as the row with both groups expanded, whatever is collapsed now, so the same
    // mode comes back next time.
    UserDefaults::standard().setInteger(mSourceList->sourceModel()->flatRowOfMode(mode),
                                        QStringLiteral("LAST_SOURCE_INDEX"));
}

bool FRWindow::selectSourceListMode(const QString &mode)
{
    return mSourceList && mSourceList->selectMode(mode);
}

bool FRWindow::addNotesFromPasteboard(const QStringList &, const QString &)
{
    // Note imports come with the notes feature.
    return false;
}


