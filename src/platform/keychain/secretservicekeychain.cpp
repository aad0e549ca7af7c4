#include "platform/keychain/keychain.h"

#include <QFileInfo>

#include <libsecret/secret.h>
#include <memory>

namespace tessaly {

namespace {

// How long the look for the store's bus name may take before the store counts as missing.
constexpr int kBusCheckTimeoutMs = 2000;
const char* const kSecretsBusName = "org.freedesktop.secrets";

class GErrorHolder {
public:
    GErrorHolder() = default;
    GErrorHolder(const GErrorHolder&) = delete;
    GErrorHolder& operator=(const GErrorHolder&) = delete;
    ~GErrorHolder() {
        if (m_error) {
            g_error_free(m_error);
        }
    }
    GError** out() { return &m_error; }
    const GError* get() const { return m_error; }
    explicit operator bool() const { return m_error != nullptr; }

private:
    GError* m_error = nullptr;
};

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using VariantPtr = std::unique_ptr<GVariant, VariantUnref>;

struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

// Items match by their attributes alone, so they are the same items other Secret Service
// tools (secret-tool, Seahorse) find under "service" and "account".
const SecretSchema& passwordSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.tessaly.Password";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return schema;
}

AttributesPtr attributesFor(const QString& service, const QString& account) {
    AttributesPtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    if (!service.isEmpty()) {
        g_hash_table_insert(attributes.get(), g_strdup("service"),
                            g_strdup(service.toUtf8().constData()));
    }
    g_hash_table_insert(attributes.get(), g_strdup("account"),
                        g_strdup(account.toUtf8().constData()));
    return attributes;
}

KeychainError unavailable() {
    return {KeychainError::Kind::Unavailable, SecretServiceKeychain::unavailableMessage()};
}

KeychainError fromGError(const GError* error, const char* fallback) {
    if (!error) {
        return {KeychainError::Kind::Failed, QString::fromUtf8(fallback)};
    }
    if (error->domain == G_DBUS_ERROR &&
        (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN ||
         error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER || error->code == G_DBUS_ERROR_NO_SERVER ||
         error->code == G_DBUS_ERROR_DISCONNECTED)) {
        return unavailable();
    }
    if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CLOSED) {
        return unavailable(); // the bus went away since the last call
    }
    return {KeychainError::Kind::Failed,
            QStringLiteral("The keyring refused: %1").arg(QString::fromUtf8(error->message))};
}

bool busNameCall(GDBusConnection* bus, const char* method, GVariant* arguments,
                 const char* replyType, VariantPtr* reply) {
    GErrorHolder error;
    GVariant* result = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        arguments, G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE, kBusCheckTimeoutMs, nullptr,
        error.out());
    reply->reset(result);
    return result != nullptr;
}

// Whether a Secret Service runs on the session bus or the bus would start one. Asked before
// every call: libsecret alone would wait for D-Bus activation's 25 seconds before giving up,
// and GDBus would try to launch a bus of its own where there is none.
KeychainError checkAvailable() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        if (runtime.isEmpty() || !QFileInfo::exists(runtime + QStringLiteral("/bus"))) {
            return unavailable();
        }
    }
    GErrorHolder error;
    GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out()));
    if (!bus) {
        return unavailable();
    }
    // The shared connection would otherwise end the whole process when the bus goes away.
    g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
    if (g_dbus_connection_is_closed(bus.get())) {
        return unavailable();
    }
    VariantPtr reply;
    if (busNameCall(bus.get(), "NameHasOwner", g_variant_new("(s)", kSecretsBusName), "(b)",
                    &reply)) {
        gboolean owned = FALSE;
        g_variant_get(reply.get(), "(b)", &owned);
        if (owned) {
            return {};
        }
    }
    if (busNameCall(bus.get(), "ListActivatableNames", nullptr, "(as)", &reply)) {
        GVariantIter* names = nullptr;
        g_variant_get(reply.get(), "(as)", &names);
        const gchar* name = nullptr;
        bool activatable = false;
        while (g_variant_iter_loop(names, "&s", &name)) {
            if (g_strcmp0(name, kSecretsBusName) == 0) {
                activatable = true;
            }
        }
        g_variant_iter_free(names);
        if (activatable) {
            return {};
        }
    }
    return unavailable();
}

bool sameAttributes(GHashTable* itemAttributes, GHashTable* wanted) {
    guint itemCount = g_hash_table_size(itemAttributes);
    if (g_hash_table_contains(itemAttributes, "xdg:schema")) {
        --itemCount;
    }
    if (itemCount != g_hash_table_size(wanted)) {
        return false;
    }
    GHashTableIter iter;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&iter, wanted);
    while (g_hash_table_iter_next(&iter, &key, &value)) {
        const auto* theirs = static_cast<const gchar*>(g_hash_table_lookup(itemAttributes, key));
        if (g_strcmp0(theirs, static_cast<const gchar*>(value)) != 0) {
            return false;
        }
    }
    return true;
}

// Storing replaces the item in the default collection; an item under the same name in another
// unlocked collection (left from when another one was the default) would then still answer
// lookups with its old secret, so it goes.
void removeCopiesOutsideDefault(GHashTable* attributes) {
    GErrorHolder error;
    GObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, error.out()));
    if (!service) {
        return;
    }
    GObjectPtr<SecretCollection> defaultCollection(secret_collection_for_alias_sync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, error.out()));
    if (!defaultCollection) {
        return;
    }
    const QByteArray defaultPrefix =
        QByteArray(g_dbus_proxy_get_object_path(G_DBUS_PROXY(defaultCollection.get()))) + '/';
    ItemListPtr items(secret_service_search_sync(service.get(), &passwordSchema(), attributes,
                                                 SECRET_SEARCH_ALL, nullptr, error.out()));
    for (GList* entry = items.get(); entry; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        const QByteArray path(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)));
        if (path.startsWith(defaultPrefix) || secret_item_get_locked(item)) {
            continue;
        }
        AttributesPtr itemAttributes(secret_item_get_attributes(item));
        if (itemAttributes && sameAttributes(itemAttributes.get(), attributes)) {
            GErrorHolder deleteError;
            if (!secret_item_delete_sync(item, nullptr, deleteError.out())) {
                // Left as it is: the new secret is stored where lookups look first.
            }
        }
    }
}

} // namespace

QString SecretServiceKeychain::unavailableMessage() {
    return QStringLiteral(
        "No Secret Service is running (the desktop's keyring, e.g. GNOME Keyring or KeePassXC): "
        "passwords cannot be stored. Use a password command instead.");
}

KeychainLookup SecretServiceKeychain::find(const QString& service, const QString& account) const {
    if (KeychainError available = checkAvailable(); available.isError()) {
        return {std::nullopt, available};
    }
    const AttributesPtr attributes = attributesFor(service, account);
    GErrorHolder error;
    const SecretValuePtr value(secret_password_lookupv_binary_sync(
        &passwordSchema(), attributes.get(), nullptr, error.out()));
    if (error) {
        return {std::nullopt, fromGError(error.get(), "")};
    }
    if (!value) {
        return {std::nullopt, {KeychainError::Kind::NotFound, {}}};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {QByteArray(bytes, static_cast<qsizetype>(length)), {}};
}

KeychainError SecretServiceKeychain::store(const QString& service, const QString& account,
                                           const QByteArray& data, const QString& label) {
    if (KeychainError available = checkAvailable(); available.isError()) {
        return available;
    }
    const AttributesPtr attributes = attributesFor(service, account);
    // Text stays readable as text by other tools (secret-tool, Seahorse).
    const bool text =
        !data.contains('\0') && g_utf8_validate(data.constData(), data.size(), nullptr);
    const SecretValuePtr value(secret_value_new(data.constData(), data.size(),
                                                text ? "text/plain" : "application/octet-stream"));
    GErrorHolder error;
    if (!secret_password_storev_binary_sync(&passwordSchema(), attributes.get(),
                                            SECRET_COLLECTION_DEFAULT, label.toUtf8().constData(),
                                            value.get(), nullptr, error.out())) {
        return fromGError(error.get(), "The keyring did not store the item.");
    }
    removeCopiesOutsideDefault(attributes.get());
    return {};
}

KeychainError SecretServiceKeychain::remove(const QString& service, const QString& account) {
    if (KeychainError available = checkAvailable(); available.isError()) {
        return available;
    }
    const AttributesPtr attributes = attributesFor(service, account);
    GErrorHolder error;
    const gboolean removed =
        secret_password_clearv_sync(&passwordSchema(), attributes.get(), nullptr, error.out());
    if (error) {
        return fromGError(error.get(), "");
    }
    if (!removed) {
        return {KeychainError::Kind::NotFound, {}};
    }
    return {};
}

} // namespace tessaly
