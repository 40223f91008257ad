#pragma once
// Which files of a device backup are attachment pieces: message parts, WhatsApp media and
// profile photos, notes attachments. Pure functions of a file's relative path and domain,
// shared by the backup sessions, the manifest's piece scan, the wanted files of a backup on
// this computer and extraction. Any thread.

#include <QString>

// "Library/SMS/Parts/", "Attachments/" or "StickerCache/", without the previews.
bool isSMSPiece(const QString &relativePath);
// "Previews/" or "Media/" of the notes app group.
bool isNotesAttachment(const QString &relativePath, const QString &domain);
// WhatsApp media (not their ".thumb" previews).
bool isWhatsAppPiece(const QString &relativePath, const QString &domain);
// WhatsApp profile pictures.
bool isWhatsAppProfilePhoto(const QString &relativePath, const QString &domain);
// Any piece of a message: SMS, WhatsApp media or WhatsApp profile photo.
bool isMessagesPiece(const QString &relativePath, const QString &domain);
// Any piece at all: a message piece or a notes attachment.
bool isSomePiece(const QString &relativePath, const QString &domain);
