#pragma once
// Names between the user and the device. The device's file service separates paths with
// "/", so a name the user types with "/" is stored with ":" in its place, and a device name
// with ":" is shown with "/". Pure functions; any thread.

#include <QString>

#include <optional>

namespace DeviceNames {

// The longest name the device takes, in UTF-8 bytes.
inline constexpr int kMaxNameBytes = 255;

// A typed name as the device stores it: every ":" dropped, every "/" made ":", cut to 255
// bytes of UTF-8 between whole characters. Nothing (refused) when that leaves "", "." or ".."
// or a name holding a NUL: such a name would name the folder itself, its parent or nothing.
std::optional<QString> fixSlashesAndColonsIn(const QString &typed);
// A device name as the user sees it: every ":" shown as "/".
QString fixSlashesAndColonsOut(const QString &deviceName);

} // namespace DeviceNames
