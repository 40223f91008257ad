#include "TestHome.h"
#include "device/AppController.h"
#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

TEST(AppController, DamagedKnownDevicesAreSkippedNotFatal)
{
    TestHome home;
    const QVariantMap good{{"uid", "abc123"}, {"connect", true}, {"displayname", "Phone"}, {"token", QVariantMap{}}};
    UserDefaults::standard().setObject(
        QVariantList{42, QStringLiteral("text"), QVariantMap{{"displayname", "no uid"}}, QVariantMap{{"uid", 7}},
                     QVariantList{good}, good},
        "KnownDevices");
    AppController controller;
    controller.awakeFromNib();
    ASSERT_EQ(controller.mKnownDevicesCopy().size(), 1);
    EXPECT_EQ(controller.mKnownDevicesCopy().first().value("uid").toString(), "abc123");

    UserDefaults::standard().setObject(QStringLiteral("not a list"), "KnownDevices");
    AppController second;
    second.awakeFromNib();
    EXPECT_TRUE(second.mKnownDevicesCopy().isEmpty());
}

TEST(AppController, SetupPreparesStateWithoutADevice)
{
    TestHome home;
    AppController controller;
    EXPECT_EQ(gSharedAppController.load(), &controller);
    controller.awakeFromNib();
    controller.setupiPhone();

    EXPECT_TRUE(UserDefaults::standard().boolForKey("PRINT_SELECTION"));
    EXPECT_EQ(controller.transferBufferSize(), 1048576u);
    EXPECT_NE(controller.transferBuffer(), nullptr);
    EXPECT_EQ(controller.status(), AppController::kStatusNone);
    EXPECT_EQ(controller.interfaceType(), AppController::kInterfaceNone);
    EXPECT_FALSE(controller.deviceConnected());
    EXPECT_EQ(controller.deviceInstance(), 0);
    EXPECT_TRUE(controller.mShowMessage.load());
    EXPECT_EQ(controller.altRowTitle, "Alternating Row Backgrounds");

    controller.setAlphaSort({});
    const auto sort = controller.alphaSort();
    ASSERT_EQ(sort.size(), 1);
    EXPECT_EQ(sort.first().key, "displayname");
    EXPECT_TRUE(sort.first().ascending && sort.first().caseInsensitive);

    controller.closeConnections(true);
    EXPECT_EQ(controller.dev(), nullptr);
}
