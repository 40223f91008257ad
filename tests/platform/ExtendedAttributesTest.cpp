#include "platform/ExtendedAttributes.h"
#include "TestHome.h"

#include <gtest/gtest.h>

#include <QFile>

#include <sys/xattr.h>

TEST(ExtendedAttributes, SetGetRemove)
{
    TestHome home;
    const QString file = home.writeFile("f", "x");
    QString error;
    if (!ExtendedAttributes::set(file, "probe", "1", &error))
        GTEST_SKIP() << "no user extended attributes here: " << error.toStdString();

    const QByteArray binary("\x00\x01\xFF", 3);
    ASSERT_TRUE(ExtendedAttributes::set(file, "com.quillon.flag", binary, &error));
    EXPECT_EQ(ExtendedAttributes::get(file, "com.quillon.flag"), std::optional<QByteArray>(binary));
    // The name is stored in the user namespace.
    char buffer[8];
    EXPECT_EQ(getxattr(QFile::encodeName(file).constData(), "user.com.quillon.flag", buffer, sizeof buffer), 3);
    EXPECT_EQ(ExtendedAttributes::get(file, "user.com.quillon.flag"), std::optional<QByteArray>(binary));
    ASSERT_TRUE(ExtendedAttributes::set(file, "empty", QByteArray(), &error));
    EXPECT_EQ(ExtendedAttributes::get(file, "empty"), std::optional<QByteArray>(QByteArray()));

    EXPECT_TRUE(ExtendedAttributes::remove(file, "com.quillon.flag", &error));
    error.clear();
    EXPECT_FALSE(ExtendedAttributes::get(file, "com.quillon.flag", &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(ExtendedAttributes::remove(file, "com.quillon.flag", &error));
    EXPECT_FALSE(ExtendedAttributes::get(home.path() + "/missing", "probe", &error));
}
