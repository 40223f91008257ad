// Archives of every telemetry model class, written by the direct writer, against the
// reference encoder on the same model: stored logs must not change by a byte.

#include "TelemetryTestSupport.h"

#include "platform/KeyedArchiveReference.h"
#include "telemetry/core/VUCSData.h"
#include "telemetry/core/VUCSExtensionRecords.h"
#include "telemetry/core/VUCSExtensions.h"
#include "telemetry/core/VUHistoryInfo.h"
#include "telemetry/core/VUTypedProperty.h"
#include "telemetry/core/VUWrapperSdk.h"

#include <gtest/gtest.h>

#include <QUuid>

namespace {

template <class T>
std::shared_ptr<T> filled(std::shared_ptr<T> model, const std::function<void(T &)> &fill)
{
    fill(*model);
    return model;
}

QList<std::shared_ptr<VUModel>> everyClass()
{
    auto device = makeDevice();
    device->wrapperSdkName = "wrap";
    device->osApiLevel = 33;
    auto full = makeCommonSchemaLog("key1-secret");
    full->popSample = 50.5;
    full->cV = "cv-1";
    auto &ext = *full->ext;
    ext.metadataExt = std::make_shared<VUMetadataExtension>();
    ext.metadataExt->metadata = QVariantMap{{"f", QVariantMap{{"screen", 1}}}};
    if (!ext.userExt)
        ext.userExt = std::make_shared<VUUserExtension>();
    ext.userExt->localId = "c:user";
    ext.userExt->locale = "de_CH";
    if (!ext.osExt)
        ext.osExt = std::make_shared<VUOSExtension>();
    ext.osExt->name = "Linux";
    if (!ext.locExt)
        ext.locExt = std::make_shared<VULocExtension>();
    ext.locExt->tz = "+01:00";
    ext.netExt->provider = "carrier";
    ext.deviceExt->localId = "u:1";
    ext.sdkExt->epoch = "E1";
    ext.sdkExt->seq = 12;
    ext.sdkExt->installId = QUuid("{1c9d3e2a-4b5f-4a6b-8c7d-9e0f1a2b3c4d}");
    ext.protocolExt->ticketKeys = QStringList{"t1", "t2", "$null"};
    ext.appExt->name = "Quillon";
    ext.appExt->userId = "app-user";
    full->data->properties = QVariantMap{{"screen", "Messages"}, {"count", 3}, {"ratio", 0.5}, {"on", true},
                                         {"nested", QVariantList{"a", QVariantMap{{"b", QVariant()}}}}};

    auto custom = makeCustomPropertiesLog();
    custom->properties->insert("big", QVariant::fromValue(std::numeric_limits<quint64>::max()));
    custom->properties->insert("dollar", QStringLiteral("$null"));
    custom->properties->insert("Zoë ✓", QByteArray("\x00\x01", 2));

    return {
        full,
        makeCommonSchemaLog("key2-secret"),
        std::make_shared<VUWrapperSdk>(QStringLiteral("1.0"), QStringLiteral("wrap"), std::nullopt,
                                       QStringLiteral("label"), std::nullopt, QStringLiteral("hash")),
        device,
        makeStartServiceLog(),
        makeStartServiceLog({}),
        custom,
        makeLogWithProperties(),
        std::make_shared<VUHistoryInfo>(sampleDate()),
        std::make_shared<VUSessionHistoryInfo>(sampleDate(3), QStringLiteral("s-1")),
        std::make_shared<VUDeviceHistoryInfo>(sampleDate(), device),
        std::make_shared<VUUserIdHistoryInfo>(sampleDate(1), QStringLiteral("alice")),
        std::make_shared<VUUserIdHistoryInfo>(sampleDate(2), std::nullopt),
        filled<VUStringTypedProperty>(std::make_shared<VUStringTypedProperty>(),
                                      [](auto &p) { p.setName("color"), p.setValue("blue"); }),
        filled<VULongTypedProperty>(std::make_shared<VULongTypedProperty>(),
                                    [](auto &p) { p.setName("count"), p.setValue(-3); }),
        filled<VUDoubleTypedProperty>(std::make_shared<VUDoubleTypedProperty>(),
                                      [](auto &p) { p.setName("ratio"), p.setValue(0.25); }),
        filled<VUDateTimeTypedProperty>(std::make_shared<VUDateTimeTypedProperty>(),
                                        [](auto &p) { p.setName("since"), p.setValue(sampleDate(60)); }),
        filled<VUBooleanTypedProperty>(std::make_shared<VUBooleanTypedProperty>(),
                                       [](auto &p) { p.setName("on"), p.setValue(true); }),
    };
}

} // namespace

TEST(VUKeyedCoding, ArchivesAreTheReferenceEncodersBytes)
{
    const auto models = everyClass();
    for (const auto &model : models) {
        SCOPED_TRACE(model->className().toStdString());
        const QByteArray reference =
            KeyedArchiveReference::encode(VUKeyedCoding::toVariant(*model), nullptr, QStringLiteral("root"));
        ASSERT_FALSE(reference.isEmpty());
        EXPECT_TRUE(VUKeyedCoding::archive(*model) == reference);
    }
    QVariantList list;
    for (const auto &model : models)
        list.append(VUKeyedCoding::toVariant(*model));
    EXPECT_TRUE(VUKeyedCoding::archiveList(models)
                == KeyedArchiveReference::encode(list, nullptr, QStringLiteral("root")));
}
