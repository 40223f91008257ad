#pragma once
// Writes typed streams (the old-style archive format of message bodies) for tests: the
// header, shared strings and classes written once and referred to by number afterwards, as
// the device writes them. Values: strings, integers, dictionaries of those, and attributed
// strings with attribute runs.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <utility>

class TypedStreamBuilder
{
public:
    struct Run
    {
        int length; // UTF-16 units
        QVariantMap attributes;
    };

    TypedStreamBuilder()
    {
        mData.append(char(4));
        mData.append(char(11));
        mData.append("streamtyped");
        integer(1000);
    }

    QByteArray data() const { return mData; }

    // The root object: an attributed string with its runs (sets repeated by equality).
    TypedStreamBuilder &attributedRoot(const QString &text, const QList<Run> &runs)
    {
        sharedString("@");
        beginObject({"NSAttributedString", "NSObject"});
        sharedString("@");
        string(text);
        QList<QVariantMap> sets;
        for (const Run &run : runs) {
            qsizetype index = sets.indexOf(run.attributes);
            const bool fresh = index < 0;
            if (fresh) {
                sets.append(run.attributes);
                index = sets.size() - 1;
            }
            sharedString("iI");
            integer(index + 1);
            integer(run.length);
            if (fresh) {
                sharedString("@");
                dictionary(run.attributes);
            }
        }
        mData.append(char(0x86));
        return *this;
    }

    TypedStreamBuilder &stringRoot(const QString &text)
    {
        sharedString("@");
        string(text);
        return *this;
    }

    // Encoded integers: one byte when it is not a tag, else a 2- or 4-byte form.
    void integer(qint64 value)
    {
        if (value >= -110 && value <= 127) {
            mData.append(char(value));
        } else if (value >= -32768 && value <= 32767) {
            mData.append(char(0x81));
            mData.append(char(value & 0xff));
            mData.append(char((value >> 8) & 0xff));
        } else {
            mData.append(char(0x82));
            for (int i = 0; i < 4; ++i)
                mData.append(char((value >> (8 * i)) & 0xff));
        }
    }

    void sharedString(const QByteArray &text)
    {
        const auto found = mStrings.constFind(text);
        if (found != mStrings.constEnd()) {
            integer(*found - 110);
            return;
        }
        mData.append(char(0x84));
        integer(text.size());
        mData.append(text);
        mStrings.insert(text, int(mStrings.size()));
    }

    void beginObject(const QList<QByteArray> &chain)
    {
        mData.append(char(0x84));
        ++mObjects;
        for (const QByteArray &name : chain) {
            const auto found = mClasses.constFind(name);
            if (found != mClasses.constEnd()) {
                integer(*found - 110);
                return;
            }
            mData.append(char(0x84));
            sharedString(name);
            integer(0);
            mClasses.insert(name, mObjects++);
        }
        mData.append(char(0x85));
    }

    void string(const QString &text)
    {
        beginObject({"NSString", "NSObject"});
        sharedString("+");
        const QByteArray utf8 = text.toUtf8();
        integer(utf8.size());
        mData.append(utf8);
        mData.append(char(0x86));
    }

    void number(qint64 value)
    {
        beginObject({"NSNumber", "NSValue", "NSObject"});
        sharedString("*");
        sharedString("i");
        sharedString("i");
        integer(value);
        mData.append(char(0x86));
    }

    void value(const QVariant &v)
    {
        if (v.typeId() == QMetaType::QString)
            string(v.toString());
        else
            number(v.toLongLong());
    }

    void dictionary(const QVariantMap &map)
    {
        beginObject({"NSDictionary", "NSObject"});
        sharedString("i");
        integer(map.size());
        for (auto it = map.begin(); it != map.end(); ++it) {
            sharedString("@");
            string(it.key());
            sharedString("@");
            value(it.value());
        }
        mData.append(char(0x86));
    }

private:
    QByteArray mData;
    QHash<QByteArray, int> mStrings;
    QHash<QByteArray, int> mClasses;
    int mObjects = 0;
};
