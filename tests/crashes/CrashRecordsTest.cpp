// The records inside a crash log: JSON keys only for present fields, validity, equality
// and the keyed archive.
#include "telemetry/crashes/VUBinary.h"
#include "telemetry/crashes/VUCrashesCoding.h"
#include "telemetry/crashes/VUThread.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject json(const VUModel &model)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(model.serializeToDictionary().dump())).object();
}

std::shared_ptr<VUStackFrame> frame(const QString &address)
{
    auto f = std::make_shared<VUStackFrame>();
    f->address = address;
    f->code = "main + 12";
    return f;
}

template <class T>
std::shared_ptr<T> roundTrip(const T &model)
{
    VUCrashesCoding::registerClasses();
    return VUKeyedCoding::unarchiveAs<T>(VUKeyedCoding::archive(model));
}

} // namespace

TEST(CrashRecords, ThreadsAndExceptionsNeedFrames)
{
    VUThread thread;
    thread.threadId = 7;
    EXPECT_EQ(json(thread), QJsonDocument::fromJson(R"({"id": 7, "frames": []})").object());
    EXPECT_FALSE(thread.isValid());
    thread.frames->append(frame("0x0000000000401000"));
    EXPECT_TRUE(thread.isValid());

    VUException exception;
    exception.type = "std::runtime_error";
    exception.frames = QList<std::shared_ptr<VUStackFrame>>();
    EXPECT_FALSE(exception.isValid());
    EXPECT_TRUE(json(exception).value("frames").isArray());
    exception.frames->append(frame("0x1"));
    EXPECT_TRUE(exception.isValid());

    // A thread read from an archive without frames has no frame list at all.
    VUThread bare;
    bare.frames.reset();
    const auto decoded = roundTrip(bare);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->frames.has_value());
}

TEST(CrashRecords, NestedExceptionsSurviveTheArchive)
{
    auto level = [](int n) {
        auto e = std::make_shared<VUException>();
        e->type = QStringLiteral("Level%1").arg(n);
        e->message = "why";
        e->wrapperSdkName = "wrapper";
        e->frames = QList<std::shared_ptr<VUStackFrame>>{frame(QStringLiteral("0x%1").arg(n))};
        return e;
    };
    auto outer = level(1);
    auto middle = level(2);
    auto inner = level(3);
    inner->frames->first()->lineNumber = 42;
    inner->frames->first()->fileName = "a.cs";
    middle->innerExceptions = QList<std::shared_ptr<VUException>>{inner};
    outer->innerExceptions = QList<std::shared_ptr<VUException>>{middle};

    const auto decoded = roundTrip(*outer);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->isEqual(outer.get()));
    EXPECT_EQ(decoded->serializeToDictionary(), outer->serializeToDictionary());
    const QJsonObject third = json(*outer)["innerExceptions"][0]["innerExceptions"][0].toObject();
    EXPECT_EQ(third.value("type"), "Level3");
    EXPECT_EQ(third["frames"][0]["lineNumber"], 42);
}

TEST(CrashRecords, EqualityComparesEveryField)
{
    auto a = frame("0x1");
    auto b = frame("0x1");
    EXPECT_TRUE(a->isEqual(b.get()));
    a->lineNumber = 0;
    EXPECT_FALSE(a->isEqual(b.get()));
    EXPECT_FALSE(b->isEqual(a.get()));

    VUBinary one, two;
    for (VUBinary *binary : {&one, &two}) {
        binary->binaryId = "???";
        binary->startAddress = "0x0000000000400000";
        binary->endAddress = "0x0000000000401fff";
        binary->name = "Quillon";
        binary->path = "/usr/bin/Quillon";
        binary->primaryArchitectureId = 16777223;
    }
    EXPECT_TRUE(one.isValid()); // no UUID, still valid
    EXPECT_TRUE(one.isEqual(&two));
    two.architectureVariantId = 3;
    EXPECT_FALSE(one.isEqual(&two));
    EXPECT_FALSE(one.isEqual(a.get()));
}

TEST(CrashRecords, LargeUnsignedNumbersKeepTheirValue)
{
    VUBinary binary;
    binary.primaryArchitectureId = 16777223;
    binary.architectureVariantId = 0x8000000000000003ull;
    const auto decoded = roundTrip(binary);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->architectureVariantId, 0x8000000000000003ull);
    EXPECT_EQ(binary.serializeToDictionary()["architectureVariantId"].get<quint64>(), 0x8000000000000003ull);
}
