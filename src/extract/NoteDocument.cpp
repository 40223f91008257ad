#include "extract/NoteDocument.h"

#include "extract/NoteAttributes.h"

#include <zlib.h>

#include <cstring>
#include <limits>

namespace {

// One length-delimited protocol-buffer message being read field by field.
class Fields
{
public:
    explicit Fields(QByteArrayView bytes) : mData(bytes) {}

    enum class Next { Field, End, Bad };

    // The next field: its number and wire type, and its value in `varint`, `fixed` or
    // `bytes` as the type says. Groups (types 3 and 4) are not used by notes and refused.
    Next next(quint32 *number, int *wireType, quint64 *varint, QByteArrayView *bytes)
    {
        if (mPos >= mData.size())
            return Next::End;
        quint64 key = 0;
        if (!readVarint(&key))
            return Next::Bad;
        *number = quint32(key >> 3);
        *wireType = int(key & 7);
        if (*number == 0)
            return Next::Bad;
        switch (*wireType) {
        case 0:
            return readVarint(varint) ? Next::Field : Next::Bad;
        case 1:
            return take(8, bytes) ? Next::Field : Next::Bad;
        case 2: {
            quint64 length = 0;
            if (!readVarint(&length) || length > quint64(mData.size() - mPos))
                return Next::Bad;
            return take(qsizetype(length), bytes) ? Next::Field : Next::Bad;
        }
        case 5:
            return take(4, bytes) ? Next::Field : Next::Bad;
        default:
            return Next::Bad;
        }
    }

private:
    bool readVarint(quint64 *value)
    {
        *value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (mPos >= mData.size())
                return false;
            const auto byte = quint8(mData[mPos++]);
            *value |= quint64(byte & 0x7f) << shift;
            if (!(byte & 0x80))
                return true;
        }
        return false;
    }

    bool take(qsizetype length, QByteArrayView *bytes)
    {
        if (length > mData.size() - mPos)
            return false;
        *bytes = mData.sliced(mPos, length);
        mPos += length;
        return true;
    }

    QByteArrayView mData;
    qsizetype mPos = 0;
};

double floatOf(QByteArrayView bytes)
{
    if (bytes.size() == 4) {
        quint32 bits = 0;
        std::memcpy(&bits, bytes.data(), 4); // little-endian on the wire, as on our targets
        float value = 0;
        std::memcpy(&value, &bits, 4);
        return double(value);
    }
    if (bytes.size() == 8) {
        double value = 0;
        std::memcpy(&value, bytes.data(), 8);
        return value;
    }
    return 0;
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// Calls `field` for every field of `bytes`; false when the message is malformed or `field`
// says so.
template <class Visit>
bool eachField(QByteArrayView bytes, Visit field)
{
    Fields fields(bytes);
    for (;;) {
        quint32 number = 0;
        int type = 0;
        quint64 varint = 0;
        QByteArrayView value;
        switch (fields.next(&number, &type, &varint, &value)) {
        case Fields::Next::End:
            return true;
        case Fields::Next::Bad:
            return false;
        case Fields::Next::Field:
            if (!field(number, type, varint, value))
                return false;
        }
    }
}

QString text(QByteArrayView bytes) { return QString::fromUtf8(bytes); }

bool readFont(QByteArrayView bytes, QVariantMap *font)
{
    return eachField(bytes, [&](quint32 number, int type, quint64 varint, QByteArrayView value) {
        if (number == 1 && type == 2)
            font->insert(QStringLiteral("name"), text(value));
        else if (number == 2 && (type == 5 || type == 1))
            font->insert(QStringLiteral("size"), floatOf(value));
        else if (number == 3 && type == 0)
            font->insert(QStringLiteral("hints"), int(varint));
        return true;
    });
}

bool readColour(QByteArrayView bytes, QVariantMap *colour)
{
    static const char *const names[] = {"red", "green", "blue", "alpha"};
    return eachField(bytes, [&](quint32 number, int type, quint64, QByteArrayView value) {
        if (number >= 1 && number <= 4 && (type == 5 || type == 1))
            colour->insert(QString::fromLatin1(names[number - 1]), floatOf(value));
        return true;
    });
}

bool readAttachment(QByteArrayView bytes, QVariantMap *attachment)
{
    return eachField(bytes, [&](quint32 number, int type, quint64, QByteArrayView value) {
        if (number == 1 && type == 2)
            attachment->insert(QStringLiteral("identifier"), text(value));
        else if (number == 2 && type == 2)
            attachment->insert(QStringLiteral("type"), text(value));
        return true;
    });
}

bool readRun(QByteArrayView bytes, qsizetype *length, QVariantMap *attributes)
{
    bool haveLength = false;
    const bool ok = eachField(bytes, [&](quint32 number, int type, quint64 varint, QByteArrayView value) {
        switch (number) {
        case 1:
            if (type != 0 || varint > quint64(std::numeric_limits<int>::max()))
                return false;
            *length = qsizetype(varint);
            haveLength = true;
            return true;
        case 3:
            if (type == 2) {
                QVariantMap font;
                if (!readFont(value, &font))
                    return false;
                attributes->insert(QLatin1String(NoteAttributes::kFont), font);
            }
            return true;
        case 5:
            if (type == 0 && varint != 0)
                attributes->insert(QLatin1String(NoteAttributes::kWeight), int(varint & 3));
            return true;
        case 6:
            if (type == 0 && varint != 0)
                attributes->insert(QLatin1String(NoteAttributes::kUnderline), 1);
            return true;
        case 9:
            if (type == 2)
                attributes->insert(QLatin1String(NoteAttributes::kLink), text(value));
            return true;
        case 10:
            if (type == 2) {
                QVariantMap colour;
                if (!readColour(value, &colour))
                    return false;
                attributes->insert(QLatin1String(NoteAttributes::kColor), colour);
            }
            return true;
        case 12:
            if (type == 2) {
                QVariantMap attachment;
                if (!readAttachment(value, &attachment))
                    return false;
                attributes->insert(QLatin1String(NoteAttributes::kAttachment), attachment);
            }
            return true;
        default:
            return true;
        }
    });
    return ok && haveLength;
}

bool readNote(QByteArrayView bytes, TypedAttributedString *out, QString *error)
{
    QList<std::pair<qsizetype, QVariantMap>> runs;
    bool haveText = false;
    const bool ok = eachField(bytes, [&](quint32 number, int type, quint64, QByteArrayView value) {
        if (number == 2 && type == 2) {
            out->string = text(value);
            haveText = true;
        } else if (number == 5 && type == 2) {
            qsizetype length = 0;
            QVariantMap attributes;
            if (!readRun(value, &length, &attributes))
                return false;
            runs.append({length, attributes});
        }
        return true;
    });
    if (!ok)
        return fail(error, QStringLiteral("malformed note"));
    if (!haveText)
        return fail(error, QStringLiteral("note without text"));

    // Runs past the text are cut to it, and text no run covers gets a plain run, so the runs
    // cover the string without gaps however the stored lengths add up.
    const qsizetype total = out->string.size();
    qsizetype at = 0;
    for (const auto &[length, attributes] : runs) {
        const qsizetype take = std::min(length, total - at);
        if (take <= 0)
            continue;
        out->runs.append({at, take, attributes});
        at += take;
    }
    if (at < total)
        out->runs.append({at, total - at, {}});
    return true;
}

// The first length-delimited field `number` of a message, or nullopt.
std::optional<QByteArrayView> child(QByteArrayView bytes, quint32 wanted)
{
    std::optional<QByteArrayView> found;
    const bool ok = eachField(bytes, [&](quint32 number, int type, quint64, QByteArrayView value) {
        if (!found && number == wanted && type == 2)
            found = value;
        return true;
    });
    return ok ? found : std::nullopt;
}

} // namespace

std::optional<QByteArray> NoteDocument::gunzip(const QByteArray &data, qsizetype limit, QString *error)
{
    if (data.size() < 18 || quint8(data[0]) != 0x1f || quint8(data[1]) != 0x8b) {
        fail(error, QStringLiteral("not gzip data"));
        return std::nullopt;
    }
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        fail(error, QStringLiteral("inflate could not start"));
        return std::nullopt;
    }
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    QByteArray out;
    int rc = Z_OK;
    char chunk[64 * 1024];
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        rc = inflate(&stream, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            break;
        const qsizetype produced = qsizetype(sizeof chunk - stream.avail_out);
        if (out.size() + produced > limit) {
            rc = Z_MEM_ERROR;
            break;
        }
        out.append(chunk, produced);
        if (rc == Z_OK && produced == 0 && stream.avail_in == 0) {
            rc = Z_DATA_ERROR; // the data ended before the stream did
            break;
        }
    }
    inflateEnd(&stream);
    if (rc != Z_STREAM_END) {
        fail(error, rc == Z_MEM_ERROR ? QStringLiteral("inflated body too large") : QStringLiteral("corrupt gzip data"));
        return std::nullopt;
    }
    return out;
}

std::optional<TypedAttributedString> NoteDocument::decode(const QByteArray &data, QString *error)
{
    const auto inflated = gunzip(data, kMaxInflatedBytes, error);
    if (!inflated)
        return std::nullopt;
    const auto document = child(*inflated, 2);
    const auto note = document ? child(*document, 3) : std::nullopt;
    if (!note) {
        fail(error, QStringLiteral("no note in the document"));
        return std::nullopt;
    }
    TypedAttributedString out;
    if (!readNote(*note, &out, error))
        return std::nullopt;
    return out;
}
