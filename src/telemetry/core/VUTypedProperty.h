#pragma once
// Typed custom properties: a name, a type tag and a value of that type. The tag is set by
// each subclass's constructor; `name` takes no part in equality.

#include "telemetry/core/VUModel.h"

class VUTypedProperty : public VUModel
{
public:
    QString className() const override { return QStringLiteral("VUTypedProperty"); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> type() const { return mType; }
    void setType(const std::optional<QString> &type) { mType = type; }
    std::optional<QString> name() const { return mName; }
    void setName(const std::optional<QString> &name) { mName = name; }

protected:
    QStringList typedSuperclasses() const { return {QStringLiteral("VUTypedProperty"), QStringLiteral("NSObject")}; }

private:
    std::optional<QString> mType;
    std::optional<QString> mName;
};

class VUStringTypedProperty : public VUTypedProperty
{
public:
    VUStringTypedProperty() { setType(QStringLiteral("string")); }
    QString className() const override { return QStringLiteral("VUStringTypedProperty"); }
    QStringList superclasses() const override { return typedSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QString> value() const { return mValue; }
    void setValue(const std::optional<QString> &value) { mValue = value; }

private:
    std::optional<QString> mValue;
};

class VULongTypedProperty : public VUTypedProperty
{
public:
    VULongTypedProperty() { setType(QStringLiteral("long")); }
    QString className() const override { return QStringLiteral("VULongTypedProperty"); }
    QStringList superclasses() const override { return typedSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    qint64 value() const { return mValue; }
    void setValue(qint64 value) { mValue = value; }

private:
    qint64 mValue = 0;
};

class VUDoubleTypedProperty : public VUTypedProperty
{
public:
    VUDoubleTypedProperty() { setType(QStringLiteral("double")); }
    QString className() const override { return QStringLiteral("VUDoubleTypedProperty"); }
    QStringList superclasses() const override { return typedSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    double value() const { return mValue; }
    void setValue(double value) { mValue = value; }

private:
    double mValue = 0;
};

class VUDateTimeTypedProperty : public VUTypedProperty
{
public:
    VUDateTimeTypedProperty() { setType(QStringLiteral("dateTime")); }
    QString className() const override { return QStringLiteral("VUDateTimeTypedProperty"); }
    QStringList superclasses() const override { return typedSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    std::optional<QDateTime> value() const { return mValue; }
    void setValue(const std::optional<QDateTime> &value) { mValue = value; }

private:
    std::optional<QDateTime> mValue;
};

class VUBooleanTypedProperty : public VUTypedProperty
{
public:
    VUBooleanTypedProperty() { setType(QStringLiteral("boolean")); }
    QString className() const override { return QStringLiteral("VUBooleanTypedProperty"); }
    QStringList superclasses() const override { return typedSuperclasses(); }
    VUJsonObject serializeToDictionary() const override;
    bool isEqual(const VUModel *other) const override;
    void encodeWithCoder(VUCoder &coder) const override;
    bool initWithCoder(const VUCoder &coder) override;

    bool value() const { return mValue; }
    void setValue(bool value) { mValue = value; }

private:
    bool mValue = false;
};
