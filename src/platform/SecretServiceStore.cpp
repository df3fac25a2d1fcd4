#include <gio/gio.h>
#include <libsecret/secret.h>

#include <mutex>

#include "platform/SecretStore.h"

namespace quorvin {

namespace {

// Items are matched by `service` and `account` alone, whatever schema name wrote them.
const SecretSchema& tokenSchema() {
  static const SecretSchema schema = {"app.quorvin.menubar.DeviceToken",
                                      SECRET_SCHEMA_DONT_MATCH_NAME,
                                      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}}};
  return schema;
}

struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error != nullptr) g_error_free(error);
  }
  GError** out() { return &error; }
};

SecretOutcome outcomeOf(const GError* error) {
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED) {
    return SecretOutcome::interactionNotAllowed(error->message);
  }
  if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_NO_SUCH_OBJECT) return SecretOutcome::notFound();
  if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CANCELLED) {
    return SecretOutcome::userCanceled(error->message);
  }
  // The host's code is kept apart from success (0).
  return SecretOutcome::failed(error->code != 0 ? error->code : -1, error->message != nullptr ? error->message : "");
}

struct ItemList {
  GList* items = nullptr;
  ~ItemList() { g_list_free_full(items, g_object_unref); }
};

struct Attributes {
  GHashTable* table = g_hash_table_new(g_str_hash, g_str_equal);
  Attributes(const std::string& service, const std::string* account) {
    g_hash_table_insert(table, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    if (account != nullptr) g_hash_table_insert(table, const_cast<char*>("account"), const_cast<char*>(account->c_str()));
  }
  ~Attributes() { g_hash_table_unref(table); }
};

template <typename T>
struct Ref {
  T* object = nullptr;
  ~Ref() {
    if (object != nullptr) g_object_unref(object);
  }
};

class SecretServiceStore final : public SecretStore {
 public:
  Read read(const std::string& service, const std::string& account, bool allowInteraction) override {
    Ref<SecretService> secrets;
    SecretOutcome connected = connect(secrets);
    if (!connected.ok()) return {connected, {}};
    Attributes attributes(service, &account);
    ItemList found;
    if (SecretOutcome o = search(secrets.object, attributes, allowInteraction, found); !o.ok()) return {o, {}};
    if (found.items == nullptr) return {SecretOutcome::notFound(), {}};

    // Match limit one: the first item this process may read, else the first one.
    SecretItem* item = nullptr;
    for (GList* l = found.items; l != nullptr; l = l->next) {
      if (!secret_item_get_locked(SECRET_ITEM(l->data))) {
        item = SECRET_ITEM(l->data);
        break;
      }
    }
    if (item == nullptr) return {lockedOutcome(allowInteraction), {}};

    ErrorHolder error;
    if (!secret_item_load_secret_sync(item, nullptr, error.out())) return {outcomeOf(error.error), {}};
    SecretValue* value = secret_item_get_secret(item);
    if (value == nullptr) {
      // Locked again between the search and the read.
      return {lockedOutcome(allowInteraction), {}};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::string secret(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
    secret_value_unref(value);
    return {SecretOutcome::success(), std::move(secret)};
  }

  Listing list(const std::string& service) override {
    Listing listing;
    Ref<SecretService> secrets;
    listing.outcome = connect(secrets);
    if (!listing.outcome.ok()) return listing;
    Attributes attributes(service, nullptr);
    ItemList found;
    listing.outcome = search(secrets.object, attributes, false, found);
    if (!listing.outcome.ok()) return listing;
    if (found.items == nullptr) {
      listing.outcome = SecretOutcome::notFound();
      return listing;
    }
    for (GList* l = found.items; l != nullptr; l = l->next) {
      GHashTable* itemAttributes = secret_item_get_attributes(SECRET_ITEM(l->data));
      if (itemAttributes == nullptr) {
        listing.unreadable = true;
        return listing;
      }
      auto* account = static_cast<const char*>(g_hash_table_lookup(itemAttributes, "account"));
      listing.accounts.push_back(account != nullptr ? std::optional<std::string>(account) : std::nullopt);
      g_hash_table_unref(itemAttributes);
    }
    return listing;
  }

  SecretOutcome update(const std::string& service, const std::string& account, const std::string& secret,
                       bool allowInteraction) override {
    Ref<SecretService> secrets;
    if (SecretOutcome o = connect(secrets); !o.ok()) return o;
    Attributes attributes(service, &account);
    ItemList found;
    if (SecretOutcome o = search(secrets.object, attributes, allowInteraction, found); !o.ok()) return o;
    if (found.items == nullptr) return SecretOutcome::notFound();
    for (GList* l = found.items; l != nullptr; l = l->next) {
      if (secret_item_get_locked(SECRET_ITEM(l->data))) return lockedOutcome(allowInteraction);
    }
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    SecretOutcome outcome;
    for (GList* l = found.items; l != nullptr && outcome.ok(); l = l->next) {
      ErrorHolder error;
      if (!secret_item_set_secret_sync(SECRET_ITEM(l->data), value, nullptr, error.out())) outcome = outcomeOf(error.error);
    }
    secret_value_unref(value);
    return outcome;
  }

  SecretOutcome add(const std::string& service, const std::string& account, const std::string& secret,
                    bool allowInteraction) override {
    Ref<SecretService> secrets;
    if (SecretOutcome o = connect(secrets); !o.ok()) return o;
    ErrorHolder error;
    Ref<SecretCollection> collection;
    collection.object = secret_collection_for_alias_sync(secrets.object, SECRET_COLLECTION_DEFAULT,
                                                         SECRET_COLLECTION_NONE, nullptr, error.out());
    if (collection.object == nullptr) {
      return error.error != nullptr ? outcomeOf(error.error)
                                    : SecretOutcome::failed(-1, "the keyring has no default collection");
    }
    if (secret_collection_get_locked(collection.object)) {
      if (!allowInteraction) return SecretOutcome::interactionNotAllowed("the keyring is locked");
      GList objects{collection.object, nullptr, nullptr};
      secret_service_unlock_sync(secrets.object, &objects, nullptr, nullptr, error.out());
      if (error.error != nullptr) return outcomeOf(error.error);
      if (secret_collection_get_locked(collection.object)) return lockedOutcome(true);
    }
    Attributes attributes(service, &account);
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
    Ref<SecretItem> item;
    item.object = secret_item_create_sync(collection.object, &tokenSchema(), attributes.table, "Quorvin device token",
                                          value, SECRET_ITEM_CREATE_NONE, nullptr, error.out());
    secret_value_unref(value);
    if (item.object == nullptr) {
      return error.error != nullptr ? outcomeOf(error.error) : SecretOutcome::failed(-1, "the item was not created");
    }
    return SecretOutcome::success();
  }

  SecretOutcome removeAll(const std::string& service, bool allowInteraction) override {
    Ref<SecretService> secrets;
    if (SecretOutcome o = connect(secrets); !o.ok()) return o;
    Attributes attributes(service, nullptr);
    ItemList found;
    if (SecretOutcome o = search(secrets.object, attributes, allowInteraction, found); !o.ok()) return o;
    bool lockedRemain = false;
    for (GList* l = found.items; l != nullptr; l = l->next) {
      SecretItem* item = SECRET_ITEM(l->data);
      if (secret_item_get_locked(item)) {
        lockedRemain = true;
        continue;
      }
      ErrorHolder error;
      if (!secret_item_delete_sync(item, nullptr, error.out())) {
        SecretOutcome outcome = outcomeOf(error.error);
        if (outcome.status != SecretOutcome::Status::notFound) return outcome;  // gone meanwhile is fine
      }
    }
    return lockedRemain ? lockedOutcome(allowInteraction) : SecretOutcome::success();
  }

  std::string name() const override { return "Secret Service"; }

 private:
  // A locked item left after a search: never asked, or the user dismissed the unlock prompt.
  static SecretOutcome lockedOutcome(bool unlockWasTried) {
    return unlockWasTried ? SecretOutcome::userCanceled("the keyring was not unlocked")
                          : SecretOutcome::interactionNotAllowed("the keyring is locked");
  }

  static SecretOutcome connect(Ref<SecretService>& secrets) {
    ErrorHolder error;
    secrets.object = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, error.out());
    if (secrets.object == nullptr) {
      return error.error != nullptr ? outcomeOf(error.error) : SecretOutcome::failed(-1, "no Secret Service");
    }
    return SecretOutcome::success();
  }

  // Every matching item, locked or not. Only with allowInteraction does it unlock (which may prompt).
  static SecretOutcome search(SecretService* secrets, Attributes& attributes, bool allowInteraction, ItemList& found) {
    ErrorHolder error;
    int flags = SECRET_SEARCH_ALL;
    if (allowInteraction) flags |= SECRET_SEARCH_UNLOCK;
    found.items = secret_service_search_sync(secrets, &tokenSchema(), attributes.table,
                                             static_cast<SecretSearchFlags>(flags), nullptr, error.out());
    if (error.error != nullptr) return outcomeOf(error.error);
    return SecretOutcome::success();
  }
};

}  // namespace

std::unique_ptr<SecretStore> makeSecretServiceStore() { return std::make_unique<SecretServiceStore>(); }

bool secretServiceAvailable() {
  ErrorHolder error;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, error.out());
  if (bus == nullptr) return false;
  bool available = false;
  GVariant* owned = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "NameHasOwner",
                                                g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
                                                G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (owned != nullptr) {
    gboolean has = FALSE;
    g_variant_get(owned, "(b)", &has);
    available = has;
    g_variant_unref(owned);
  }
  if (!available) {
    GVariant* names = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "ListActivatableNames", nullptr,
                                                  G_VARIANT_TYPE("(as)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (names != nullptr) {
      GVariantIter* iter = nullptr;
      const gchar* name = nullptr;
      g_variant_get(names, "(as)", &iter);
      while (g_variant_iter_loop(iter, "&s", &name)) {
        if (g_strcmp0(name, "org.freedesktop.secrets") == 0) available = true;
      }
      g_variant_iter_free(iter);
      g_variant_unref(names);
    }
  }
  g_object_unref(bus);
  return available;
}

}  // namespace quorvin
