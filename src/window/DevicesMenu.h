#pragma once
// The device menu and the device popup as data: the attached devices in menu order, each
// with its title, its connection image ("usb" or "wifi", only while Wi-Fi devices are
// used), its shortcut key ("1" to "9" for the first nine) and its check mark, and the popup
// item that is selected. The window keeps one and rebuilds it whenever the device
// controller's list changes; the menu bar and the popup show it once they exist.
//
// A plain value; main thread only, like the window that owns it.

#include "device/ConnectedDeviceEntry.h"

#include <QList>
#include <QString>

class DevicesMenu
{
public:
    struct Item
    {
        ConnectedDeviceEntry entry;
        QString title;
        QString image;         // "usb", "wifi", or empty
        QString keyEquivalent; // "1" to "9", or empty
        bool checked = false;
    };

    // Rebuilds the items from the attached devices: sorted by title (case-insensitive), equal
    // titles by image name so a USB device comes before a Wi-Fi one. Nothing is checked
    // and the popup selects nothing afterwards.
    void setContents(const QList<ConnectedDeviceEntry> &entries, bool useWifi);
    // Checks the items of the device with this uid and interface, walking from the top: the
    // first match is checked and selected in the popup, and the walk stops there (items
    // below keep their marks). Items above it lose theirs. No match: nothing selected.
    void setSelection(const QString &uid, int interfaceType);

    const QList<Item> &items() const { return mItems; }
    // Index of the popup's selected item, or -1.
    int popupSelection() const { return mPopupSelection; }

private:
    QList<Item> mItems;
    int mPopupSelection = -1;
};
