#include "adapters/linux/secret/LibsecretStore.h"

#include <libsecret/secret.h>

#include <utility>

namespace sorvane {
namespace {

// Attributes only; the schema name is not matched, like a generic password.
const SecretSchema* itemSchema() {
    static const SecretSchema schema = [] {
        SecretSchema s{};
        s.name = "org.sorvane.SecretItem";
        s.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &schema;
}

struct HashTableUnref {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

Attributes attributesFor(const SecretItemId& id) {
    return Attributes(secret_attributes_build(itemSchema(), "service", id.service.c_str(),
                                              "account", id.account.c_str(), nullptr));
}

struct ErrorFree {
    void operator()(GError* e) const { g_error_free(e); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

struct ValueUnref {
    void operator()(SecretValue* v) const { secret_value_unref(v); }
};

// A D-Bus error that means nobody serves the Secret Service on this bus.
bool nobodyAnswers(const GError* error) {
    if (error->domain != G_DBUS_ERROR)
        return false;
    switch (error->code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_NO_SERVER:
    case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
    case G_DBUS_ERROR_SPAWN_FORK_FAILED:
    case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
    case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
    case G_DBUS_ERROR_SPAWN_FAILED:
    case G_DBUS_ERROR_SPAWN_SETUP_FAILED:
    case G_DBUS_ERROR_SPAWN_CONFIG_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
    case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
    case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
    case G_DBUS_ERROR_SPAWN_FILE_INVALID:
    case G_DBUS_ERROR_SPAWN_NO_MEMORY:
        return true;
    default:
        return false;
    }
}

// GError codes can be 0 (the generic "failed"); a status must not be.
int32_t statusOf(const GError* error) {
    return error->code != 0 ? error->code : -1;
}

LibsecretStore::Result failureFrom(const GError* error) {
    LibsecretStore::Result r;
    r.outcome = nobodyAnswers(error) ? LibsecretStore::Outcome::unavailable
                                     : LibsecretStore::Outcome::refused;
    r.status = statusOf(error);
    r.detail = error->message ? error->message : "unknown error";
    return r;
}

} // namespace

struct LibsecretStore::Service {
    SecretService* proxy = nullptr;
    ~Service() {
        if (proxy)
            g_object_unref(proxy);
    }
};

LibsecretStore::LibsecretStore() = default;
LibsecretStore::~LibsecretStore() = default;

LibsecretStore::Service* LibsecretStore::service(Result& failure) {
    if (m_service)
        return m_service.get();
    GError* raw = nullptr;
    SecretService* proxy =
        secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, &raw);
    Error error(raw);
    if (!proxy) {
        // No session bus at all (or none that can be reached): nobody answers.
        failure.outcome = Outcome::unavailable;
        failure.status = error ? statusOf(error.get()) : -1;
        failure.detail = error && error->message ? error->message : "no session bus";
        return nullptr;
    }
    m_service = std::make_unique<Service>();
    m_service->proxy = proxy;
    return m_service.get();
}

LibsecretStore::Result LibsecretStore::lookup(const SecretItemId& id) {
    Result result;
    Service* s = service(result);
    if (!s)
        return result;
    auto attributes = attributesFor(id);
    auto flags = static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK |
                                                SECRET_SEARCH_LOAD_SECRETS);
    GError* raw = nullptr;
    GList* items =
        secret_service_search_sync(s->proxy, itemSchema(), attributes.get(), flags, nullptr, &raw);
    Error error(raw);
    if (error)
        return failureFrom(error.get());
    std::unique_ptr<GList, void (*)(GList*)> owned(
        items, [](GList* l) { g_list_free_full(l, g_object_unref); });
    if (!items) {
        result.outcome = Outcome::notFound;
        return result;
    }
    for (GList* l = items; l != nullptr; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (secret_item_get_locked(item))
            continue;
        std::unique_ptr<SecretValue, ValueUnref> value(secret_item_get_secret(item));
        if (!value)
            continue;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        result.outcome = Outcome::done;
        result.data.assign(reinterpret_cast<const uint8_t*>(bytes),
                           reinterpret_cast<const uint8_t*>(bytes) + length);
        return result;
    }
    // Items exist but none could be unlocked and read (the unlock prompt was
    // dismissed, or there is no prompter).
    result.outcome = Outcome::refused;
    result.status = SECRET_ERROR_IS_LOCKED;
    result.detail = "the keyring holding the item is locked";
    return result;
}

LibsecretStore::Result LibsecretStore::store(const SecretItemId& id, ByteView data) {
    Result result;
    Service* s = service(result);
    if (!s)
        return result;
    auto attributes = attributesFor(id);
    std::unique_ptr<SecretValue, ValueUnref> value(
        secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                         static_cast<gssize>(data.size()), "application/octet-stream"));
    std::string label = "Sorvane " + id.service + " " + id.account;
    GError* raw = nullptr;
    gboolean ok = secret_service_store_sync(s->proxy, itemSchema(), attributes.get(),
                                            SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                            nullptr, &raw);
    Error error(raw);
    if (!ok) {
        if (error)
            return failureFrom(error.get());
        result.outcome = Outcome::refused;
        result.status = -1;
        result.detail = "the Secret Service did not store the item";
    }
    return result;
}

LibsecretStore::Result LibsecretStore::clear(const SecretItemId& id) {
    Result result;
    Service* s = service(result);
    if (!s)
        return result;
    auto attributes = attributesFor(id);
    GError* raw = nullptr;
    secret_service_clear_sync(s->proxy, itemSchema(), attributes.get(), nullptr, &raw);
    Error error(raw);
    if (error)
        return failureFrom(error.get());
    return result;
}

} // namespace sorvane
