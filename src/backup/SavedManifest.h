#pragma once
// The saved manifest of a device: the manifest dictionary of its last successful backup
// session, as a binary property list in the archive folder under "<UniqueDeviceID>.manifest".
// A later session starts from it when the host has no newer backup of the device. Any thread.

#include <QByteArray>
#include <QString>

#include <optional>

namespace SavedManifest {

// <archive folder>/<deviceID>.manifest; empty when the id cannot name a file.
QString pathFor(const QString &deviceID);
// The saved bytes (getMDataFor:); nullopt when none, or unreadable.
std::optional<QByteArray> getMDataFor(const QString &deviceID);
// Writes `data` atomically (saveMData:forKey:); empty data writes nothing. False on failure.
bool saveMData(const QByteArray &data, const QString &deviceID);

} // namespace SavedManifest
