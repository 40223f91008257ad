#include "TelemetryTestSupport.h"

#include "telemetry/core/VUTypedProperty.h"

#include <gtest/gtest.h>

TEST(VUTypedProperty, JsonFormsAndEquality)
{
    VUStringTypedProperty text;
    text.setName(QStringLiteral("color"));
    text.setValue(QStringLiteral("blue"));
    EXPECT_EQ(text.serializeToDictionary().dump(), R"({"type":"string","name":"color","value":"blue"})");

    VULongTypedProperty number;
    number.setName(QStringLiteral("n"));
    number.setValue(9007199254740993LL);
    EXPECT_EQ(number.serializeToDictionary().dump(), R"({"type":"long","name":"n","value":9007199254740993})");

    VUDoubleTypedProperty real;
    real.setName(QStringLiteral("d"));
    real.setValue(0.5);
    EXPECT_EQ(real.serializeToDictionary().dump(), R"({"type":"double","name":"d","value":0.5})");

    VUDateTimeTypedProperty date;
    date.setName(QStringLiteral("when"));
    date.setValue(sampleDate());
    EXPECT_EQ(date.serializeToDictionary().dump(),
              R"({"type":"dateTime","name":"when","value":"2019-03-05T14:07:09.500Z"})");

    VUBooleanTypedProperty flag;
    flag.setName(QStringLiteral("on"));
    EXPECT_EQ(flag.serializeToDictionary().dump(), R"({"type":"boolean","name":"on","value":false})");

    // The name takes no part in equality; the value and the class do.
    VUStringTypedProperty renamed = text;
    renamed.setName(QStringLiteral("other"));
    EXPECT_TRUE(text.isEqual(&renamed));
    renamed.setValue(QStringLiteral("red"));
    EXPECT_FALSE(text.isEqual(&renamed));
    VUStringTypedProperty absent;
    EXPECT_FALSE(text.isEqual(&absent));
    EXPECT_FALSE(number.isEqual(&real));
}

TEST(VUTypedProperty, ArchivesRoundTrip)
{
    auto text = std::make_shared<VUStringTypedProperty>();
    text->setName(QStringLiteral("k"));
    text->setValue(QStringLiteral("Zoë"));
    auto number = std::make_shared<VULongTypedProperty>();
    number->setValue(-42);
    auto real = std::make_shared<VUDoubleTypedProperty>();
    real->setValue(3.25);
    auto date = std::make_shared<VUDateTimeTypedProperty>();
    date->setValue(sampleDate());
    auto flag = std::make_shared<VUBooleanTypedProperty>();
    flag->setValue(true);
    for (const std::shared_ptr<VUTypedProperty> &property :
         std::initializer_list<std::shared_ptr<VUTypedProperty>>{text, number, real, date, flag}) {
        SCOPED_TRACE(property->className().toStdString());
        auto decoded = VUKeyedCoding::unarchiveAs<VUTypedProperty>(VUKeyedCoding::archive(*property));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->className(), property->className());
        EXPECT_TRUE(decoded->isEqual(property.get()));
        EXPECT_EQ(decoded->name(), property->name());
        EXPECT_EQ(decoded->type(), property->type());
    }
}
