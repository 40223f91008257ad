// The program's binding code against the built library and against copies of it that lack
// entry points.

#include "SimDeviceFixture.h"

#include <QCoreApplication>
#include <QDir>

namespace {

struct RestoreBinding
{
    ~RestoreBinding() { bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LIBRARY)); }
};

} // namespace

TEST(MobileDeviceBinding, BindsEveryEntryPointOfTheBuiltLibrary)
{
    ASSERT_TRUE(bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LIBRARY)));
    EXPECT_TRUE(missingMobileDeviceEntryPoint().isEmpty());
#define EXPECT_BOUND(name) EXPECT_NE(reinterpret_cast<void *>(name), nullptr) << #name;
    QUILLON_MOBILEDEVICE_ENTRY_POINTS(EXPECT_BOUND)
#undef EXPECT_BOUND
    EXPECT_NE(LoadProcPointer("AFCRenamePath"), nullptr);
    EXPECT_EQ(LoadProcPointer("NoSuchEntryPoint"), nullptr);
}

TEST(MobileDeviceBinding, MissingRequiredEntryPointMeansNoFramework)
{
    RestoreBinding restore;
    EXPECT_FALSE(bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LACKING_REQUIRED)));
    EXPECT_EQ(AMDeviceNotificationSubscribe, nullptr);
    EXPECT_EQ(AMDeviceConnect, nullptr);
    EXPECT_EQ(missingMobileDeviceEntryPoint(), QStringLiteral("AMDeviceConnect"));
}

// Power assertions and wake-up tokens are optional: a library without them still binds, and
// their pointers are null for the callers to test.
TEST(MobileDeviceBinding, MissingOptionalEntryPointsLeaveNullPointers)
{
    RestoreBinding restore;
    EXPECT_TRUE(bindMobileDeviceFramework(QStringLiteral(MOBILEDEVICE_LACKING_OPTIONAL)));
    EXPECT_NE(AMDeviceNotificationSubscribe, nullptr);
    EXPECT_EQ(AMDevicePowerAssertionCreate, nullptr);
    EXPECT_EQ(AMDeviceCreateWakeupToken, nullptr);
    EXPECT_EQ(AMDeviceWakeupUsingToken, nullptr);
    EXPECT_NE(AMDeviceStartSession, nullptr);
}

TEST(MobileDeviceBinding, MissingLibraryMeansNoFramework)
{
    RestoreBinding restore;
    EXPECT_FALSE(bindMobileDeviceFramework(QStringLiteral("/nonexistent/libmobiledevice.so")));
    EXPECT_EQ(AMDeviceNotificationSubscribe, nullptr);
    EXPECT_EQ(AMDeviceConnect, nullptr);
}

TEST(MobileDeviceBinding, LibraryFoundBesideTheProgramOrWhereTheEnvironmentSays)
{
    RestoreBinding restore;
    qunsetenv("QUILLON_MOBILEDEVICE_LIBRARY");
    // Tests run from <build>/bin like the programs; the library sits in <build>/lib.
    EXPECT_EQ(mobileDeviceLibraryPath(),
              QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../lib/libmobiledevice.so")));
    EXPECT_TRUE(bindMobileDeviceFramework());

    qputenv("QUILLON_MOBILEDEVICE_LIBRARY", MOBILEDEVICE_LACKING_REQUIRED);
    EXPECT_EQ(mobileDeviceLibraryPath(), QStringLiteral(MOBILEDEVICE_LACKING_REQUIRED));
    EXPECT_FALSE(bindMobileDeviceFramework());
    qunsetenv("QUILLON_MOBILEDEVICE_LIBRARY");
}
