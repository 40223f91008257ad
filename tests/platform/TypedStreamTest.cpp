#include "platform/TypedStream.h"

#include "TypedStreamBuilder.h"

#include <gtest/gtest.h>

namespace {

const QString kGuidKey = QStringLiteral("__kIMFileTransferGUIDAttributeName");
const QString kPartKey = QStringLiteral("__kIMMessagePartAttributeName");

template <size_t N>
QByteArray raw(const char (&bytes)[N])
{
    return QByteArray(bytes, qsizetype(N - 1));
}

QByteArray body(const QString &text, const QList<TypedStreamBuilder::Run> &runs)
{
    return TypedStreamBuilder().attributedRoot(text, runs).data();
}

} // namespace

TEST(TypedStream, AnAttributedBodyGivesItsStringAndRuns)
{
    // A text, an attachment placeholder and more text: the first and last runs share one
    // attribute set, which the stream refers back to by number.
    const QString text = QStringLiteral("Hi \xFFFC there");
    const QVariantMap part{{kPartKey, 0}};
    const QVariantMap file{{kPartKey, 1}, {kGuidKey, QStringLiteral("AT_0_GUID")}};
    const auto result = TypedStream::attributedString(body(text, {{3, part}, {1, file}, {6, part}}));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->string, text);
    ASSERT_EQ(result->runs.size(), 3);
    EXPECT_EQ(result->runs[0].location, 0);
    EXPECT_EQ(result->runs[0].length, 3);
    EXPECT_EQ(result->runs[0].attributes.value(kPartKey).toLongLong(), 0);
    EXPECT_EQ(result->runs[1].location, 3);
    EXPECT_EQ(result->runs[1].attributes.value(kGuidKey).toString(), "AT_0_GUID");
    EXPECT_EQ(result->runs[2].attributes, result->runs[0].attributes);
    EXPECT_EQ(result->runs[2].location, 4);
}

TEST(TypedStream, RunLengthsCountUtf16UnitsOfTextBeyondAscii)
{
    const QString text = QStringLiteral("Caf\u00e9 \U0001F600!");
    ASSERT_EQ(text.size(), 8);
    const auto result = TypedStream::attributedString(body(text, {{7, {}}, {1, {{kPartKey, 2}}}}));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->string.mid(result->runs[1].location, result->runs[1].length), "!");
}

TEST(TypedStream, APlainStringRootIsOneRun)
{
    const auto result = TypedStream::attributedString(TypedStreamBuilder().stringRoot("plain").data());
    ASSERT_TRUE(result);
    EXPECT_EQ(result->string, "plain");
    ASSERT_EQ(result->runs.size(), 1);
    EXPECT_EQ(result->runs[0].length, 5);
}

TEST(TypedStream, EveryTruncationIsRefusedWithoutReadingPastTheEnd)
{
    const QByteArray whole = body(QStringLiteral("Hello there"), {{5, {{kPartKey, 0}}}, {6, {{kPartKey, 1}}}});
    ASSERT_TRUE(TypedStream::attributedString(whole));
    for (qsizetype length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        // A detached copy, so a read past its end is caught by the sanitizers.
        const QByteArray cut(whole.constData(), length);
        QString error;
        EXPECT_FALSE(TypedStream::attributedString(cut, &error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(TypedStream, MalformedStreamsAreRefused)
{
    const QByteArray header = TypedStreamBuilder().data();
    auto with = [&](const QByteArray &rest) { return header + rest; };
    struct Case
    {
        const char *name;
        QByteArray stream;
    };
    QByteArray deepArrays = header;
    // Arrays inside arrays, each a new object: far deeper than any message body.
    for (int i = 0; i < 200; ++i)
        deepArrays += i == 0 ? raw("\x84\x01@\x84\x84\x84\x07NSArray\x00\x85\x84\x01i\x01\x92")
                             : raw("\x84\x93\x94\x01\x92");
    const Case cases[] = {
        {"empty", QByteArray()},
        {"unknown signature", raw("\x04\x0bstreamtypex\x81\xe8\x03")},
        {"string reference past the table", with(raw("\x95"))},
        // An object whose class refers to the object itself (entry 0), which is unfinished.
        {"self reference", with(raw("\x84\x01@\x84\x92"))},
        {"string length past the end",
         with(raw("\x84\x01@\x84\x84\x84\x08NSString\x00\x85\x84\x01+\x82\xff\xff\xff\x7f"))},
        {"unknown type code", with(raw("\x84\x01!\x00"))},
        {"NUL in a type encoding", with(raw("\x84\x02i\x00\x00"))},
        {"array longer than the stream", with(raw("\x84\x08[99999i]\x00"))},
        {"nested too deep", deepArrays},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        EXPECT_FALSE(TypedStream::decode(c.stream, &error));
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(TypedStream, ARunOutsideItsStringIsRefused)
{
    // The device never writes runs longer than the text; a damaged body must not be cut
    // outside its string.
    QString error;
    EXPECT_FALSE(TypedStream::attributedString(body(QStringLiteral("abc"), {{2, {}}, {5, {{kPartKey, 1}}}}), &error));
    EXPECT_FALSE(error.isEmpty());
}
