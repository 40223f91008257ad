#include "DevicesMenu.h"

#include "device/AppController.h"

#include <algorithm>

namespace {

// Titles case-insensitively; equal titles by image name when both have one, so two devices
// of the same name list USB before Wi-Fi.
bool titleBefore(const DevicesMenu::Item &a, const DevicesMenu::Item &b)
{
    const int byTitle = a.title.compare(b.title, Qt::CaseInsensitive);
    if (byTitle != 0)
        return byTitle < 0;
    if (a.image.isEmpty() || b.image.isEmpty())
        return false;
    return a.image < b.image;
}

} // namespace

void DevicesMenu::setContents(const QList<ConnectedDeviceEntry> &entries, bool useWifi)
{
    mItems.clear();
    mPopupSelection = -1;
    for (const ConnectedDeviceEntry &entry : entries) {
        Item item;
        item.entry = entry;
        item.title = entry.name();
        if (useWifi)
            item.image = entry.interfaceType() == AppController::kInterfaceWiFi ? QStringLiteral("wifi")
                                                                                : QStringLiteral("usb");
        mItems.append(item);
    }
    std::stable_sort(mItems.begin(), mItems.end(), titleBefore);
    for (qsizetype i = 0; i < mItems.size() && i < 9; ++i)
        mItems[i].keyEquivalent = QString::number(i + 1);
}

void DevicesMenu::setSelection(const QString &uid, int interfaceType)
{
    mPopupSelection = -1;
    for (qsizetype i = 0; i < mItems.size(); ++i) {
        Item &item = mItems[i];
        item.checked = item.entry.uid() == uid && item.entry.interfaceType() == interfaceType;
        if (item.checked) {
            mPopupSelection = int(i);
            return;
        }
    }
}
