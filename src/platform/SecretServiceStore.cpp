// libsecret's headers pull in GDBus, whose structs have a member named "signals"; they come
// before any Qt header so Qt's keyword macro cannot rewrite it.
#include <libsecret/secret.h>

#include "KeychainBackends.h"

namespace {

const SecretSchema *schema()
{
    static const SecretSchema kSchema = {
        "org.quillon.Password",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &kSchema;
}

// Errors that mean nobody answered on the bus (no bus, no Secret Service on it), as opposed
// to a service that answered with a failure (locked, prompt dismissed, timed out): only
// the former lets the file store stand in.
bool isNoBus(const GError *error)
{
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_BAD_ADDRESS:
        case G_DBUS_ERROR_NOT_SUPPORTED:
        case G_DBUS_ERROR_UNKNOWN_METHOD:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
            return true;
        default:
            return false;
        }
    }
    if (error->domain == G_IO_ERROR)
        return error->code != G_IO_ERROR_CANCELLED && error->code != G_IO_ERROR_TIMED_OUT;
    return false;
}

KeychainBackends::Result failure(GError *error)
{
    const bool noBus = isNoBus(error);
    g_error_free(error);
    return noBus ? KeychainBackends::Result::NoBus : KeychainBackends::Result::Unavailable;
}

} // namespace

namespace KeychainBackends::SecretServiceStore {

Result find(const QString &service, const QString &account, QByteArray *secret)
{
    GError *error = nullptr;
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    SecretValue *value = secret_password_lookup_binary_sync(schema(), nullptr, &error, "service",
                                                            s.constData(), "account", a.constData(),
                                                            nullptr);
    if (error)
        return failure(error);
    if (!value) {
        // A locked item whose unlock prompt was dismissed also comes back as no value; only
        // a search that sees no item at all, locked or not, means NotFound.
        GList *items = secret_password_search_sync(schema(), SECRET_SEARCH_ALL, nullptr, &error, "service",
                                                   s.constData(), "account", a.constData(), nullptr);
        if (error)
            return failure(error);
        const bool exists = items != nullptr;
        g_list_free_full(items, g_object_unref);
        return exists ? Result::Unavailable : Result::NotFound;
    }
    gsize length = 0;
    const gchar *bytes = secret_value_get(value, &length);
    *secret = QByteArray(bytes, qsizetype(length));
    secret_value_unref(value);
    return Result::Success;
}

Result store(const QString &service, const QString &account, const QByteArray &secret, const QString &label)
{
    GError *error = nullptr;
    const QByteArray s = service.toUtf8(), a = account.toUtf8(), l = label.toUtf8();
    SecretValue *value = secret_value_new(secret.constData(), gssize(secret.size()), "application/octet-stream");
    const gboolean ok = secret_password_store_binary_sync(schema(), SECRET_COLLECTION_DEFAULT, l.constData(),
                                                          value, nullptr, &error, "service", s.constData(),
                                                          "account", a.constData(), nullptr);
    secret_value_unref(value);
    if (error)
        return failure(error);
    return ok ? Result::Success : Result::Unavailable;
}

Result remove(const QString &service, const QString &account)
{
    GError *error = nullptr;
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    const gboolean removed = secret_password_clear_sync(schema(), nullptr, &error, "service", s.constData(),
                                                        "account", a.constData(), nullptr);
    if (error)
        return failure(error);
    return removed ? Result::Success : Result::NotFound;
}

} // namespace KeychainBackends::SecretServiceStore
