#include "adapters/linux/secret/LibsecretStore.h"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
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

constexpr gint kCallTimeoutMs = static_cast<gint>(LibsecretStore::kCallTimeout.count());

std::string seconds(std::chrono::milliseconds limit) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count()) + " s";
}

// Cancels its GCancellable once `limit` has passed, so that a call that waits on
// something D-Bus timeouts do not cover (the connection's authentication, a proxy's
// first property load, a prompt) still returns.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds limit)
        : m_limit(limit), m_cancellable(g_cancellable_new()), m_watch([this] {
              std::unique_lock lock(m_mutex);
              if (!m_wake.wait_for(lock, m_limit, [this] { return m_over; })) {
                  m_expired = true;
                  g_cancellable_cancel(m_cancellable);
              }
          }) {}
    ~Deadline() {
        {
            std::lock_guard lock(m_mutex);
            m_over = true;
        }
        m_wake.notify_one();
        m_watch.join();
        g_object_unref(m_cancellable);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* cancellable() const { return m_cancellable; }
    std::chrono::milliseconds limit() const { return m_limit; }
    bool expired() {
        std::lock_guard lock(m_mutex);
        return m_expired;
    }

private:
    const std::chrono::milliseconds m_limit;
    GCancellable* const m_cancellable;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_over = false;
    bool m_expired = false;
    std::thread m_watch; // last: starts once the members above exist
};

LibsecretStore::Result refusal(int32_t status, std::string detail) {
    LibsecretStore::Result r;
    r.outcome = LibsecretStore::Outcome::refused;
    r.status = status;
    r.detail = std::move(detail);
    return r;
}

LibsecretStore::Result failureFrom(const GError* error, Deadline& deadline) {
    if (deadline.expired() && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return refusal(G_IO_ERROR_TIMED_OUT,
                       "the keyring did not answer within " + seconds(deadline.limit()));
    LibsecretStore::Result r =
        refusal(statusOf(error), error->message ? error->message : "unknown error");
    if (nobodyAnswers(error))
        r.outcome = LibsecretStore::Outcome::unavailable;
    return r;
}

struct ListFree {
    void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
using ObjectList = std::unique_ptr<GList, ListFree>;

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
    SecretService* proxy = nullptr;
    bool expired = false;
    {
        Deadline deadline(LibsecretStore::kCallTimeout);
        proxy = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE,
                                         deadline.cancellable(), &raw);
        expired = deadline.expired();
    }
    Error error(raw);
    if (!proxy) {
        const bool timedOut =
            expired ||
            (error && (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
                       g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
                       g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT) ||
                       g_error_matches(error.get(), G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY)));
        if (timedOut) {
            // A bus that accepts the connection but does not answer: something is
            // there and may hold the key.
            failure = refusal(G_IO_ERROR_TIMED_OUT, "the session bus did not answer within " +
                                                        seconds(LibsecretStore::kCallTimeout));
            return nullptr;
        }
        // No session bus at all (or none that can be reached): nobody answers.
        failure.outcome = Outcome::unavailable;
        failure.status = error ? statusOf(error.get()) : -1;
        failure.detail = error && error->message ? error->message : "no session bus";
        return nullptr;
    }
    // Every later call on the service is bounded by this, not by GLib's 25 s.
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(proxy), kCallTimeoutMs);
    m_service = std::make_unique<Service>();
    m_service->proxy = proxy;
    return m_service.get();
}

LibsecretStore::Result LibsecretStore::lookup(const SecretItemId& id, bool mayPrompt) {
    Result result;
    Service* s = service(result);
    if (!s)
        return result;
    auto attributes = attributesFor(id);
    ObjectList items;
    {
        Deadline deadline(LibsecretStore::kCallTimeout);
        GError* raw = nullptr;
        items.reset(secret_service_search_sync(s->proxy, itemSchema(), attributes.get(),
                                               SECRET_SEARCH_ALL, deadline.cancellable(), &raw));
        Error error(raw);
        if (error)
            return failureFrom(error.get(), deadline);
    }
    if (!items) {
        result.outcome = Outcome::notFound;
        return result;
    }
    bool anyUnlocked = false;
    for (GList* l = items.get(); l != nullptr; l = l->next) {
        g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(l->data), kCallTimeoutMs);
        anyUnlocked = anyUnlocked || !secret_item_get_locked(static_cast<SecretItem*>(l->data));
    }

    // The items to read: the unlocked ones, or those the unlock prompt unlocked.
    ObjectList unlockedByPrompt;
    GList* readable = items.get();
    if (!anyUnlocked) {
        if (!mayPrompt)
            return refusal(SECRET_ERROR_IS_LOCKED, "the keyring holding the item is locked");
        // A person may be typing a password: the prompt gets longer than a call.
        Deadline deadline(LibsecretStore::kPromptTimeout);
        GError* raw = nullptr;
        GList* unlocked = nullptr;
        secret_service_unlock_sync(s->proxy, items.get(), deadline.cancellable(), &unlocked, &raw);
        unlockedByPrompt.reset(unlocked);
        Error error(raw);
        if (error)
            return failureFrom(error.get(), deadline);
        if (!unlocked)
            return refusal(SECRET_ERROR_IS_LOCKED,
                           "the keyring holding the item is locked and was not unlocked "
                           "(the prompt was dismissed or could not be shown)");
        readable = unlocked;
    }

    Result last = refusal(SECRET_ERROR_IS_LOCKED, "the keyring holding the item is locked");
    for (GList* l = readable; l != nullptr; l = l->next) {
        auto* item = static_cast<SecretItem*>(l->data);
        if (readable == items.get() && secret_item_get_locked(item))
            continue;
        g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(item), kCallTimeoutMs);
        Deadline deadline(LibsecretStore::kCallTimeout);
        GError* raw = nullptr;
        secret_item_load_secret_sync(item, deadline.cancellable(), &raw);
        Error error(raw);
        if (error) {
            last = failureFrom(error.get(), deadline);
            continue;
        }
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
    return last;
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
    // A locked default collection is unlocked by a prompt first.
    Deadline deadline(LibsecretStore::kPromptTimeout);
    GError* raw = nullptr;
    gboolean ok = secret_service_store_sync(s->proxy, itemSchema(), attributes.get(),
                                            SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                            deadline.cancellable(), &raw);
    Error error(raw);
    if (!ok) {
        if (error)
            return failureFrom(error.get(), deadline);
        return refusal(-1, "the keyring did not store the item");
    }
    return result;
}

LibsecretStore::Result LibsecretStore::clear(const SecretItemId& id) {
    Result result;
    Service* s = service(result);
    if (!s)
        return result;
    auto attributes = attributesFor(id);
    Deadline deadline(LibsecretStore::kCallTimeout);
    GError* raw = nullptr;
    secret_service_clear_sync(s->proxy, itemSchema(), attributes.get(), deadline.cancellable(),
                              &raw);
    Error error(raw);
    if (error)
        return failureFrom(error.get(), deadline);
    return result;
}

} // namespace sorvane
