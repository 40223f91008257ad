#include "PropertyList.h"

#include "BinaryPlistCheck.h"
#include "PlistWriters.h"
#include "PlistXmlReader.h"
#include "XmlPlistBounds.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>
#include <QStringList>
#include <QTimeZone>

#include <plist/plist.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// libplist's parsers and our own conversion recurse once per nesting level; real property
// lists nest a few dozen levels, so anything deeper is refused before it can exhaust the stack.
constexpr int kMaxDepth = 512;
// libplist takes 32-bit lengths; nothing Quillon reads comes near this.
constexpr qsizetype kMaxInputSize = 512 * 1024 * 1024;

// Property-list dates count seconds from 1 January 2001, UTC.
const QDateTime &referenceDate()
{
    static const QDateTime date(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    return date;
}

struct PlistDeleter
{
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// libplist 2.2 keeps every integer as 64 unsigned bits; only its XML writer still knows
// whether a value with the top bit set was stored signed (negative) or as a large unsigned.
bool isLargeUnsigned(plist_t node)
{
    char *xml = nullptr;
    uint32_t length = 0;
    plist_t copy = plist_copy(node);
    plist_t wrapper = plist_new_array();
    plist_array_append_item(wrapper, copy);
    plist_to_xml(wrapper, &xml, &length);
    bool unsignedValue = false;
    if (xml) {
        const QByteArray text(xml, int(length));
        const int at = text.indexOf("<integer>");
        unsignedValue = at >= 0 && text.at(at + 9) != '-';
        std::free(xml);
    }
    plist_free(wrapper);
    return unsignedValue;
}

// The stored seconds of a date node, read from its binary form: a date object is the
// marker 0x33 and a big-endian double.
double exactDateSeconds(plist_t node)
{
    plist_t wrapper = plist_new_array();
    plist_array_append_item(wrapper, plist_copy(node));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(wrapper, &bytes, &length);
    plist_free(wrapper);
    double seconds = 0;
    if (bytes) {
        for (uint32_t i = 8; i + 8 < length; ++i) {
            if (uint8_t(bytes[i]) != 0x33)
                continue;
            uint64_t bits = 0;
            for (int b = 1; b <= 8; ++b)
                bits = (bits << 8) | uint8_t(bytes[i + b]);
            std::memcpy(&seconds, &bits, sizeof seconds);
            break;
        }
        std::free(bytes);
    }
    return std::isfinite(seconds) ? seconds : 0.0;
}

std::optional<QVariant> toVariant(plist_t node, int depth, QString *error)
{
    if (depth > kMaxDepth) {
        setError(error, QStringLiteral("property list nested too deeply"));
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return QVariant(value != 0);
    }
    case PLIST_UINT: {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value > uint64_t(std::numeric_limits<qint64>::max()) && isLargeUnsigned(node))
            return QVariant(quint64(value));
        return QVariant(qint64(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return QVariant(value);
    }
    case PLIST_STRING: {
        uint64_t length = 0;
        const char *value = plist_get_string_ptr(node, &length);
        if (length > uint64_t(kMaxInputSize)) {
            setError(error, QStringLiteral("property list string too large"));
            return std::nullopt;
        }
        return QVariant(QString::fromUtf8(value ? value : "", value ? qsizetype(length) : 0));
    }
    case PLIST_KEY: {
        char *value = nullptr;
        plist_get_key_val(node, &value);
        const QString text = QString::fromUtf8(value ? value : "");
        std::free(value);
        return QVariant(text);
    }
    case PLIST_DATA: {
        char *value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        if (length > uint64_t(kMaxInputSize)) {
            std::free(value);
            setError(error, QStringLiteral("property list data item too large"));
            return std::nullopt;
        }
        const QByteArray bytes(value, qsizetype(value ? length : 0));
        std::free(value);
        return QVariant(bytes);
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        // libplist 2.2 truncates the stored seconds toward zero and reports the fraction
        // without its sign, so a date less than a second before 2001 loses its sign; that
        // case reads the stored value exactly.
        // Dates beyond its 32-bit seconds (before 1933, after 2069) are read exactly too.
        double seconds = 0;
        if ((sec == 0 && usec != 0) || sec == std::numeric_limits<int32_t>::min()
            || sec == std::numeric_limits<int32_t>::max())
            seconds = exactDateSeconds(node);
        else
            seconds = double(sec) + (sec < 0 ? -1.0 : 1.0) * double(usec) / 1e6;
        return QVariant(referenceDate().addMSecs(qint64(std::llround(seconds * 1000.0))));
    }
    case PLIST_UID: {
        uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return QVariant::fromValue(PlistUid{value});
    }
    case PLIST_ARRAY: {
        QVariantList list;
        list.reserve(qsizetype(plist_array_get_size(node)));
        // Walked with an iterator: libplist 2.2 finds an item by index by walking the list
        // from its start, which made reading large arrays quadratic.
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        if (!iter) {
            setError(error, QStringLiteral("property list array unreadable"));
            return std::nullopt;
        }
        for (;;) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter, &item);
            if (!item)
                break;
            auto value = toVariant(item, depth + 1, error);
            if (!value) {
                std::free(iter);
                return std::nullopt;
            }
            list.append(std::move(*value));
        }
        std::free(iter);
        return QVariant(list);
    }
    case PLIST_DICT: {
        // XML has no UID element; the archiver writes one as a dictionary holding "CF$UID".
        if (plist_dict_get_size(node) == 1) {
            plist_t uid = plist_dict_get_item(node, "CF$UID");
            if (uid && plist_get_node_type(uid) == PLIST_UINT) {
                uint64_t value = 0;
                plist_get_uint_val(uid, &value);
                return QVariant::fromValue(PlistUid{value});
            }
        }
        QVariantMap map;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter) {
            setError(error, QStringLiteral("property list dictionary unreadable"));
            return std::nullopt;
        }
        for (;;) {
            char *key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            const QString name = QString::fromUtf8(key ? key : "");
            std::free(key);
            auto value = toVariant(item, depth + 1, error);
            if (!value) {
                std::free(iter);
                return std::nullopt;
            }
            map.insert(name, std::move(*value));
        }
        std::free(iter);
        return QVariant(map);
    }
    default:
        break;
    }
    setError(error, QStringLiteral("property list holds a node of unknown type"));
    return std::nullopt;
}

} // namespace

namespace PropertyList {

std::optional<QVariant> fromData(const QByteArray &data, QString *error)
{
    if (data.isEmpty()) {
        setError(error, QStringLiteral("empty input is not a property list"));
        return std::nullopt;
    }
    if (data.size() > kMaxInputSize) {
        setError(error, QStringLiteral("property list too large"));
        return std::nullopt;
    }
    const bool binary = data.startsWith("bplist00");
    if (binary) {
        QString why;
        if (!BinaryPlistCheck::isSound(data, kMaxDepth, &why)) {
            setError(error, QStringLiteral("malformed binary property list: ") + why);
            return std::nullopt;
        }
    } else {
        if (!data.contains("<plist")) {
            setError(error, QStringLiteral("not a property list"));
            return std::nullopt;
        }
        // XML forbids NUL characters: such input is damaged, whatever else it holds.
        if (XmlPlistBounds::containsNul(data.constData(), size_t(data.size()))) {
            setError(error, QStringLiteral("malformed XML property list: NUL character"));
            return std::nullopt;
        }
        if (!XmlPlistBounds::depthWithin(data.constData(), size_t(data.size()), kMaxDepth)) {
            setError(error, QStringLiteral("property list nested too deeply"));
            return std::nullopt;
        }
        return PlistXmlReader::read(data, kMaxDepth, error);
    }
    plist_t root = nullptr;
    plist_from_bin(data.constData(), uint32_t(data.size()), &root);
    if (!root) {
        setError(error, QStringLiteral("malformed binary property list"));
        return std::nullopt;
    }
    PlistPtr guard(root);
    return toVariant(root, 0, error);
}

std::optional<QVariant> fromFile(const QString &path, QString *error)
{
    // Opened without blocking and refused unless it is a plain file: a pipe or device where
    // a property list belongs (in a backup folder, say) would otherwise hang the reader.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(error, QStringLiteral("cannot open %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        setError(error, QStringLiteral("cannot open %1: not a regular file").arg(path));
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        setError(error, QStringLiteral("cannot open %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    if (file.size() > kMaxInputSize) {
        setError(error, QStringLiteral("property list too large: %1").arg(path));
        return std::nullopt;
    }
    return fromData(file.readAll(), error);
}

QByteArray toData(const QVariant &root, Format format, QString *error)
{
    return format == Format::Binary ? PlistWriters::binary(root, kMaxDepth, error)
                                    : PlistWriters::xml(root, kMaxDepth, error);
}

bool toFile(const QVariant &root, const QString &path, Format format, QString *error)
{
    const QByteArray bytes = toData(root, format, error);
    if (bytes.isEmpty())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        setError(error, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

} // namespace PropertyList
