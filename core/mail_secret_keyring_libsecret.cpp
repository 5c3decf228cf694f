#include "core/mail_secret_backends.h"

#include <libsecret/secret.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

namespace mailsecret::backend {
namespace {

using Kind = KeyringAnswer::Kind;

// After the bound the calls are cancelled; GIO then completes them at once.
// Should one not come back even so, its request is left behind, never freed
// under it.
constexpr std::chrono::milliseconds CancelGrace{2000};

/// The schema named `name`. Never freed: a call left behind may still use it.
const SecretSchema *schema(const std::string &name) {
    static std::mutex mutex;
    // Not destroyed at exit either: a worker left behind may outlive main.
    static auto *schemas = new std::map<std::string, SecretSchema>();
    const std::lock_guard lock(mutex);
    const auto [entry, made] = schemas->try_emplace(name);
    SecretSchema *kept = &entry->second;
    if (made) {
        kept->name = entry->first.c_str();
        // Items an administrator made with secret-tool carry no schema name.
        kept->flags = SECRET_SCHEMA_DONT_MATCH_NAME;
        kept->attributes[0] = {"application", SECRET_SCHEMA_ATTRIBUTE_STRING};
        kept->attributes[1] = {"server", SECRET_SCHEMA_ATTRIBUTE_STRING};
        kept->attributes[2] = {"user", SECRET_SCHEMA_ATTRIBUTE_STRING};
    }
    return kept;
}

GHashTable *attributesOf(const Item &item) {
    return secret_attributes_build(schema(item.schema), "application", "perstando", "server",
                                   item.server.c_str(), "user", item.user.c_str(), nullptr);
}

/// The session bus's address, without GLib's autolaunch: a watchdog must not
/// start a bus of its own on a display that has none.
std::string sessionBusAddress() {
    if (const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        return address;
    }
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        const std::string socket = std::string(runtime) + "/bus";
        struct stat info {};
        if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
            return "unix:path=" + socket;
        }
    }
    return {};
}

/// Asynchronous calls on a main context of their own, so that they need no
/// caller's loop and wait at most the bound: then they are cancelled.
class Calls {
public:
    explicit Calls(std::chrono::milliseconds bound)
        : context_(g_main_context_new()), cancellable_(g_cancellable_new()),
          boundMs_(bound.count()) {
        g_main_context_push_thread_default(context_);
        bound_ = addTimeout(bound, &Calls::onBound);
    }
    ~Calls() {
        destroyTimeout(bound_);
        destroyTimeout(grace_);
        g_clear_object(&result_);
        g_object_unref(cancellable_);
        g_main_context_unref(context_);
    }
    Calls(const Calls &) = delete;
    Calls &operator=(const Calls &) = delete;

    GCancellable *cancellable() const { return cancellable_; }
    static void ready(GObject *, GAsyncResult *result, gpointer self) {
        auto *calls = static_cast<Calls *>(self);
        g_clear_object(&calls->result_);
        calls->result_ = G_ASYNC_RESULT(g_object_ref(result));
        calls->pending_ = false;
    }
    /// Starts one call through `start`, which must pass ready() and this, and
    /// waits for it. Null when it never came back.
    GAsyncResult *run(const std::function<void()> &start) {
        g_clear_object(&result_);
        pending_ = true;
        start();
        while (pending_ && !abandoned_) {
            g_main_context_iteration(context_, TRUE);
        }
        return pending_ ? nullptr : result_;
    }
    bool timedOut() const { return timedOut_; }
    /// Gives the thread its default context back; true when the object may be
    /// deleted (no call can still come back to it).
    bool leave() {
        destroyTimeout(std::exchange(bound_, nullptr));
        destroyTimeout(std::exchange(grace_, nullptr));
        // The last result holds the service; once it goes, GDBus frees what
        // the service's signal subscriptions held from idle callbacks in this
        // context: let those run.
        if (!pending_) {
            g_clear_object(&result_);
        }
        while (g_main_context_iteration(context_, FALSE)) {
        }
        g_main_context_pop_thread_default(context_);
        return !pending_;
    }
    std::string tooSlow() const {
        return "the keyring did not answer within " + std::to_string((boundMs_ + 999) / 1000) +
               " s";
    }

private:
    GSource *addTimeout(std::chrono::milliseconds after, gboolean (*callback)(gpointer)) {
        GSource *source = g_timeout_source_new(static_cast<guint>(after.count()));
        g_source_set_callback(source, callback, this, nullptr);
        g_source_attach(source, context_);
        return source;
    }
    static void destroyTimeout(GSource *source) {
        if (source) {
            g_source_destroy(source);
            g_source_unref(source);
        }
    }
    static gboolean onBound(gpointer self) {
        auto *calls = static_cast<Calls *>(self);
        calls->timedOut_ = true;
        g_cancellable_cancel(calls->cancellable_);
        calls->grace_ = calls->addTimeout(CancelGrace, &Calls::onGrace);
        return G_SOURCE_REMOVE;
    }
    static gboolean onGrace(gpointer self) {
        static_cast<Calls *>(self)->abandoned_ = true;
        return G_SOURCE_REMOVE;
    }

    GMainContext *context_;
    GCancellable *cancellable_;
    GSource *bound_ = nullptr;
    GSource *grace_ = nullptr;
    long long boundMs_;
    GAsyncResult *result_ = nullptr;
    bool pending_ = false;
    bool timedOut_ = false;
    bool abandoned_ = false;
};

/// Errors that mean nobody provides the Secret Service on this bus.
bool meansNoService(const GError *error) {
    if (error->domain != G_DBUS_ERROR) {
        return false;
    }
    const int code = error->code;
    return code == G_DBUS_ERROR_SERVICE_UNKNOWN || code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
           (code >= G_DBUS_ERROR_SPAWN_EXEC_FAILED && code <= G_DBUS_ERROR_SPAWN_NO_MEMORY);
}

KeyringAnswer failure(const Calls &calls, GError *error) {
    KeyringAnswer answer;
    // GLib keeps a session connection whose setup was cancelled for a while
    // and hands its cancellation to the next caller: the bus still hangs.
    if (calls.timedOut() || error == nullptr ||
        g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        answer.kind = Kind::Failed;
        answer.reason = calls.tooSlow();
    } else {
        answer.kind = meansNoService(error) ? Kind::Absent : Kind::Failed;
        answer.reason = std::string("the keyring answered: ") + error->message;
    }
    g_clear_error(&error);
    return answer;
}

/// Opens the Secret Service on the session bus and runs `use` on it.
KeyringAnswer withService(std::chrono::milliseconds bound,
                          const std::function<KeyringAnswer(Calls &, SecretService *)> &use) {
    if (sessionBusAddress().empty()) {
        return {Kind::Absent, false, {}, "there is no D-Bus session bus"};
    }
    auto *calls = new Calls(bound);
    KeyringAnswer answer;
    GError *error = nullptr;
    // libsecret talks over GLib's shared session connection, which by default
    // ends the whole process with SIGTERM when the bus goes away: a watchdog
    // must outlive its desktop session's bus. Held here, it is the connection
    // libsecret gets.
    GDBusConnection *bus = nullptr;
    GAsyncResult *result = calls->run(
        [&] { g_bus_get(G_BUS_TYPE_SESSION, calls->cancellable(), &Calls::ready, calls); });
    if (result) {
        bus = g_bus_get_finish(result, &error);
    }
    if (!bus && !calls->timedOut() && error &&
        !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        // A bus address that leads nowhere: no keyring to ask.
        answer = {Kind::Absent, false, {}, std::string("no D-Bus session bus: ") + error->message};
        g_clear_error(&error);
    } else if (!bus) {
        answer = failure(*calls, error);
    } else {
        g_dbus_connection_set_exit_on_close(bus, FALSE);
        // A service of its own each time: the shared one would stay bound to a
        // bus that has gone away.
        SecretService *service = nullptr;
        result = calls->run([&] {
            secret_service_open(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE,
                                calls->cancellable(), &Calls::ready, calls);
        });
        if (result) {
            service = secret_service_open_finish(result, &error);
        }
        answer = service ? use(*calls, service) : failure(*calls, error);
        if (service) {
            g_object_unref(service);
        }
        g_object_unref(bus);
    }
    if (calls->leave()) {
        delete calls;
    }
    return answer;
}

/// After a store: the keyring replaced an item of ours in place, but one with
/// the same attributes and no schema name (made with secret-tool) stays and may
/// be the one a lookup finds. Those are removed, so the stored secret is used.
KeyringAnswer removeShadows(Calls &calls, SecretService *service, const Item &item) {
    GHashTable *attributes = attributesOf(item);
    GAsyncResult *result = calls.run([&] {
        secret_service_search(service, schema(item.schema), attributes, SECRET_SEARCH_ALL,
                              calls.cancellable(), &Calls::ready, &calls);
    });
    g_hash_table_unref(attributes);
    GError *error = nullptr;
    GList *items = result ? secret_service_search_finish(service, result, &error) : nullptr;
    KeyringAnswer answer{Kind::Done, true, {}, {}};
    if (!result || error) {
        answer = failure(calls, error);
    }
    for (GList *at = items; at && answer.kind == Kind::Done; at = at->next) {
        auto *found = static_cast<SecretItem *>(at->data);
        GHashTable *held = secret_item_get_attributes(found);
        const auto *name = static_cast<const char *>(g_hash_table_lookup(held, "xdg:schema"));
        const bool ours = name && item.schema == name;
        g_hash_table_unref(held);
        if (ours) {
            continue;
        }
        result = calls.run(
            [&] { secret_item_delete(found, calls.cancellable(), &Calls::ready, &calls); });
        if (!result || !secret_item_delete_finish(found, result, &error)) {
            answer = failure(calls, error);
        }
    }
    g_list_free_full(items, g_object_unref);
    if (answer.kind != Kind::Done) {
        // Stored, but an older secret may still be the one found.
        answer.kind = Kind::Failed;
        answer.reason =
            "an older keyring item with the same attributes could not be removed: " + answer.reason;
    }
    return answer;
}

} // namespace

KeyringAnswer keyringLookup(const Item &item, std::chrono::milliseconds bound) {
    return withService(bound, [&](Calls &calls, SecretService *service) {
        GHashTable *attributes = attributesOf(item);
        GAsyncResult *result = calls.run([&] {
            secret_service_lookup(service, schema(item.schema), attributes, calls.cancellable(),
                                  &Calls::ready, &calls);
        });
        g_hash_table_unref(attributes);
        GError *error = nullptr;
        SecretValue *value =
            result ? secret_service_lookup_finish(service, result, &error) : nullptr;
        if (!result || error) {
            return failure(calls, error);
        }
        KeyringAnswer answer{Kind::Done, false, {}, {}};
        if (value) {
            gsize length = 0;
            const gchar *secret = secret_value_get(value, &length);
            answer.found = length > 0;
            answer.password.assign(secret, length);
            secret_value_unref(value);
        }
        return answer;
    });
}

KeyringAnswer keyringStore(const Item &item, const std::string &secret,
                           std::chrono::milliseconds bound) {
    return withService(bound, [&](Calls &calls, SecretService *service) {
        GHashTable *attributes = attributesOf(item);
        SecretValue *value =
            secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
        GAsyncResult *result = calls.run([&] {
            secret_service_store(service, schema(item.schema), attributes,
                                 SECRET_COLLECTION_DEFAULT, item.label.c_str(), value,
                                 calls.cancellable(), &Calls::ready, &calls);
        });
        secret_value_unref(value);
        g_hash_table_unref(attributes);
        GError *error = nullptr;
        if (!result || !secret_service_store_finish(service, result, &error)) {
            return failure(calls, error);
        }
        return removeShadows(calls, service, item);
    });
}

KeyringAnswer keyringClear(const Item &item, std::chrono::milliseconds bound) {
    return withService(bound, [&](Calls &calls, SecretService *service) {
        GHashTable *attributes = attributesOf(item);
        GAsyncResult *result = calls.run([&] {
            secret_service_clear(service, schema(item.schema), attributes, calls.cancellable(),
                                 &Calls::ready, &calls);
        });
        g_hash_table_unref(attributes);
        GError *error = nullptr;
        const bool removed = result && secret_service_clear_finish(service, result, &error);
        if (!result || error) {
            return failure(calls, error);
        }
        return KeyringAnswer{Kind::Done, removed, {}, {}};
    });
}

} // namespace mailsecret::backend
