#pragma once

// For tests run under tests/support/with-keyring (a private gnome-keyring); link libsecret.
#include <gtest/gtest.h>
#include <libsecret/secret.h>

namespace quorvin::test {

// Locks the login collection, as the session's screen lock would. Unlocking it again needs a
// prompt, which cannot show without a display: the keyring stays locked for the test.
inline void lockDefaultCollection() {
  GError* error = nullptr;
  SecretService* secrets = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error);
  ASSERT_NE(secrets, nullptr) << error->message;
  SecretCollection* collection =
      secret_collection_for_alias_sync(secrets, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  ASSERT_NE(collection, nullptr);
  GList objects{collection, nullptr, nullptr};
  secret_service_lock_sync(secrets, &objects, nullptr, nullptr, &error);
  ASSERT_EQ(error, nullptr) << error->message;
  ASSERT_TRUE(secret_collection_get_locked(collection));
  g_object_unref(collection);
  g_object_unref(secrets);
}

}  // namespace quorvin::test
