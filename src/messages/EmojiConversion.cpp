#include "messages/EmojiConversion.h"

#include "interfaces/EmojiPictureScaler.h"
#include "messages/EMOEmoji.h"
#include "messages/EmojiTables.h"

#include <QFile>
#include <QHash>

#include <atomic>
#include <mutex>

namespace EmojiConversion {

namespace {

constexpr int kPictureBytes = 4096;
constexpr int kPictureSize = 32;
constexpr qsizetype kBigEmojiLimit = 44;

// The Unicode emoji of the table, as code points, to their index; built once.
struct Sets
{
    QHash<char32_t, int> unicodeIndex;
    QHash<char16_t, int> softBankIndex;
};

const Sets &sets()
{
    static Sets built;
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < EmojiTables::kCount; ++i) {
            const uint32_t u = EmojiTables::utf16table[i];
            const char32_t cp = u > 0xFFFF ? QChar::surrogateToUcs4(char16_t(u >> 16), char16_t(u & 0xFFFF)) : u;
            built.unicodeIndex.insert(cp, i);
            built.softBankIndex.insert(EmojiTables::sbtable[i], i);
        }
    });
    return built;
}

bool isLower(char16_t c)
{
    for (uint16_t symbol : EmojiTables::utf16tableLower) {
        if (symbol == c)
            return true;
    }
    return false;
}

bool is52(char32_t c)
{
    for (uint32_t word : EmojiTables::utf8table52) {
        if (textOfUtf8Word(word) == QString::fromUcs4(&c, 1))
            return true;
    }
    return false;
}

std::mutex gPictureLock;
QByteArray gPictures; // gPictureLock

} // namespace

uint32_t mapSBToUnicode(uint16_t softBank)
{
    for (int i = 0; i < EmojiTables::kCount; ++i) {
        if (EmojiTables::sbtable[i] == softBank)
            return EmojiTables::utf8table[i];
    }
    return 0;
}

uint16_t mapUtf16ToSb(uint32_t utf16)
{
    for (int i = 0; i < EmojiTables::kCount; ++i) {
        if (EmojiTables::utf16table[i] == utf16)
            return EmojiTables::sbtable[i];
    }
    return 0;
}

uint32_t mapUtf16ToUtf8(uint16_t utf16)
{
    for (int i = 0; i < EmojiTables::kLowerCount; ++i) {
        if (EmojiTables::utf16tableLower[i] == utf16)
            return EmojiTables::utf8tableLower[i];
    }
    return 0;
}

uint32_t mapRegionalIndicator(uint32_t firstUtf8)
{
    for (int i = 0; i < EmojiTables::kFlagSlots; ++i) {
        if (EmojiTables::firstchars[i] && EmojiTables::firstchars[i] == firstUtf8)
            return EmojiTables::secondchars[i];
    }
    return 0;
}

QString textOfUtf8Word(uint32_t word)
{
    char bytes[4];
    int length = 0;
    for (int i = 0; i < 4; ++i) {
        const char b = char((word >> (8 * i)) & 0xFF);
        if (b == 0)
            break; // the padding of a three-byte entry, never part of the text
        bytes[length++] = b;
    }
    return QString::fromUtf8(bytes, length);
}

bool isSoftBank(char16_t c)
{
    return pictureIndex(c) >= 0;
}

int pictureIndex(char16_t softBank)
{
    int index = 0;
    for (const EmojiTables::Block &block : EmojiTables::kBlocks) {
        if (softBank >= block.first && softBank < block.first + block.count)
            return index + (softBank - block.first);
        index += block.count;
    }
    return -1;
}

QString softBankToUnicode(const QString &text)
{
    QString out;
    out.reserve(text.size() * 2);
    for (const QChar c : text) {
        const uint32_t word = isSoftBank(c.unicode()) ? mapSBToUnicode(c.unicode()) : 0;
        if (!word) {
            out += c;
            continue;
        }
        out += textOfUtf8Word(word);
        if (const uint32_t second = mapRegionalIndicator(word))
            out += textOfUtf8Word(second);
        out += QLatin1Char(' ');
    }
    return out;
}

QString unicodeToSoftBank(const QString &text)
{
    const Sets &s = sets();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        char32_t cp = c.unicode();
        qsizetype width = 1;
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            cp = QChar::surrogateToUcs4(c, text.at(i + 1));
            width = 2;
        }
        const auto found = s.unicodeIndex.constFind(cp);
        const uint16_t softBank = found == s.unicodeIndex.constEnd() ? 0 : EmojiTables::sbtable[*found];
        // Three codes whose pictures are missing stay as they are.
        if (!softBank || softBank == 0xE242 || softBank == 0xE24F || softBank == 0xE537) {
            out += text.mid(i, width);
            i += width - 1;
            continue;
        }
        out += QChar(softBank);
        i += width - 1;
        // A flag's first indicator takes its second with it.
        if (mapRegionalIndicator(EmojiTables::utf8table[*found]) && i + 2 < text.size()
            && text.at(i + 1).isHighSurrogate() && text.at(i + 2).isLowSurrogate())
            i += 2;
    }
    return out;
}

QString convertLowerWithVariationChar(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        out += QChar(c);
        if (!isLower(c))
            continue;
        const char16_t next = i + 1 < text.size() ? text.at(i + 1).unicode() : 0;
        if (i + 1 >= text.size() || (next != 0xFE0E && next != 0xFE0F && next != 0xD83C))
            out += QChar(0xFE0F);
    }
    return out;
}

QString change52VariationChar(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        out += text.at(i);
        if (i + 1 < text.size() && text.at(i + 1).unicode() == 0xFE0F && is52(text.at(i).unicode()))
            ++i;
    }
    return out;
}

Result convert(const QString &text, const Options &options, bool (*picture)(char16_t))
{
    Result result;
    if (options.noConvert) {
        result.text = options.haveEmojiFont ? convertLowerWithVariationChar(text) : text;
    } else if (options.forceUnicode || options.haveEmojiFont) {
        result.text = convertLowerWithVariationChar(softBankToUnicode(text));
    } else {
        result.text = unicodeToSoftBank(text);
        const auto has = picture ? picture : &hasPicture;
        QString withSpaces;
        for (const QChar c : std::as_const(result.text)) {
            withSpaces += c;
            if (isSoftBank(c.unicode()) && has(c.unicode())) {
                result.pictureAt.append(withSpaces.size() - 1);
                withSpaces += QLatin1Char(' ');
                result.hasSpecial = true;
            }
        }
        result.text = withSpaces;
        return result;
    }
    if (options.noConvert && result.text.size() <= kBigEmojiLimit && emo_isPureEmojiString(result.text))
        result.showAsEmoji = true;
    return result;
}

void setPictureFile(const QString &path)
{
    QFile file(path);
    QByteArray data;
    if (file.open(QIODevice::ReadOnly) && file.size() <= 471 * kPictureBytes)
        data = file.readAll();
    std::lock_guard lock(gPictureLock);
    gPictures = data;
}

QByteArray pictureData(char16_t softBank)
{
    const int index = pictureIndex(softBank);
    std::lock_guard lock(gPictureLock);
    if (index < 0 || qsizetype(index + 1) * kPictureBytes > gPictures.size())
        return {};
    return gPictures.mid(qsizetype(index) * kPictureBytes, kPictureBytes);
}

bool hasPicture(char16_t softBank)
{
    return !pictureData(softBank).isEmpty();
}

QByteArray scaledPicture(char16_t softBank, int points)
{
    const QByteArray picture = pictureData(softBank);
    EmojiPictureScaler *scaler = EmojiPictureScaler::installed();
    if (picture.isEmpty() || !scaler)
        return {};
    return scaler->scaledPicture(picture, kPictureSize, points);
}

} // namespace EmojiConversion

namespace {
std::atomic<EmojiPictureScaler *> gEmojiPictureScaler{nullptr};
}

EmojiPictureScaler *EmojiPictureScaler::installed()
{
    return gEmojiPictureScaler.load();
}

void EmojiPictureScaler::install(EmojiPictureScaler *scaler)
{
    gEmojiPictureScaler.store(scaler);
}
