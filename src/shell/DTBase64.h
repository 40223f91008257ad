#pragma once
// Base64 with the standard alphabet and "=" padding, as stored values and device replies
// use it. Decoding is lenient like the stored data expects (characters outside the alphabet
// read as zero bits) but never trusts the input's shape: no input makes it compute a
// negative size or touch memory outside its buffers.
//
// Stateless; callable from any thread.

#include <QByteArray>
#include <QString>

#include <optional>

class DTBase64
{
public:
    static QString encode(const QByteArray &data);
    static QString encode(const char *bytes, qsizetype length);

    // Nothing when the text is missing or its length is not a multiple of 4.
    static std::optional<QByteArray> decode(const QString &text);
    static std::optional<QByteArray> decode(const char *text, qsizetype length);
};

// The category calls of the design.
inline QString base64Encode(const QByteArray &data) { return DTBase64::encode(data); }
inline std::optional<QByteArray> base64Decode(const QString &text) { return DTBase64::decode(text); }
