#pragma once
// Guards for names and paths of attachment pieces. Piece names come from device databases
// and archive rows (an attachment's uuid, the last component of a device path), and piece
// folders may be reached through links: nothing taken from there may name a file outside
// the folder it is meant for.
//
// Any thread; no state.

#include <QString>

namespace PieceNames {

// A plain file name: not empty, not "." or "..", no "/" and no NUL.
bool isPlainName(const QString &name);

// Whether `folderName` is the name of a piece folder ("<key>.qnmdb" or "<key>.qnxmdb").
bool isPieceFolderName(const QString &folderName);

// A stored relative piece path ("<key>.qnxmdb/<name>"): exactly a piece folder's name and a
// plain name. Empty when the stored text is anything else.
QString checkedRelativePath(const QString &relativePath);

// Whether `path` names an item directly inside a piece folder, judged on the real paths
// (links and ".." resolved): the item's real parent must be a folder whose extension is
// "qnmdb" or "qnxmdb", and the item itself must not be the folder. False for a path that
// does not exist.
bool isInsidePieceFolder(const QString &path);

} // namespace PieceNames
