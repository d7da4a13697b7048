// The secret store over libsecret (the Secret Service D-Bus API), on the
// library's GLib thread (platform/SecretStore.hpp).
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>

#include <libsecret/secret.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/platform/SecretStore.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"
#include "mornik/platform/detail/Gio.hpp"

namespace mornik {

namespace {

constexpr std::string_view kDomain = "SecretService";
enum Code : int { kLocked = 1, kNoKeyring = 2, kTimeout = 3, kServiceError = 4 };

Error secretError(int code, const std::string& text) {
  return Error(std::string(kDomain), code, {{std::string(kLocalizedDescriptionKey), text}});
}

// The items' schema: a keyring manager shows it beside each item.
const SecretSchema* schema() {
  static const SecretSchema* const kSchema = secret_schema_new(
      "org.mornik.Secret", SECRET_SCHEMA_NONE, "service", SECRET_SCHEMA_ATTRIBUTE_STRING, "account",
      SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
  return kSchema;
}

enum class Kind { save, read, remove };

// One call, shared by the waiting caller and the callbacks on the GLib
// thread; the callbacks' share travels as a heap-held shared_ptr.
struct Call {
  Kind kind;
  std::string service, account, label;
  SecretStore::Bytes secret;
  GCancellable* cancellable = g_cancellable_new();
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  SecretService* secretService = nullptr;

  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;             // guarded by mutex
  std::optional<Error> failure;  // guarded by mutex
  // Written by the callbacks before `done`, read by the caller after it.
  std::optional<SecretStore::Bytes> found;
  bool removed = false;

  Call(Kind k, std::string s, std::string a)
      : kind(k), service(std::move(s)), account(std::move(a)) {
    g_hash_table_insert(attributes, const_cast<char*>("service"), service.data());
    g_hash_table_insert(attributes, const_cast<char*>("account"), account.data());
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;
  ~Call() {
    // Plain volatile stores: this library does not load libcrypto.
    volatile std::uint8_t* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
    g_hash_table_unref(attributes);
    g_object_unref(cancellable);
    if (secretService != nullptr) g_object_unref(secretService);
  }
};

using Holder = std::shared_ptr<Call>;

void finish(Holder* holder, std::optional<Error> failure) {
  Call& call = **holder;
  {
    std::lock_guard<std::mutex> lock(call.mutex);
    call.failure = std::move(failure);
    call.done = true;
  }
  call.finished.notify_all();
  delete holder;  // NOLINT(cppcoreguidelines-owning-memory): the callbacks' share ends here
}

// A GError as the call's failure (freed here).
Error fromGError(GError* error) {
  Error failure = secretError(kServiceError, std::string("the secret service: ") + error->message);
  g_error_free(error);
  return failure;
}

void onStored(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<Holder*>(data);
  GError* error = nullptr;
  if (secret_service_store_finish((*holder)->secretService, result, &error) == FALSE) {
    return finish(holder, fromGError(error));
  }
  finish(holder, std::nullopt);
}

void onCleared(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<Holder*>(data);
  GError* error = nullptr;
  const gboolean removed = secret_service_clear_finish((*holder)->secretService, result, &error);
  if (error != nullptr) return finish(holder, fromGError(error));
  (*holder)->removed = removed != FALSE;
  finish(holder, std::nullopt);
}

void onSearched(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<Holder*>(data);
  GError* error = nullptr;
  GList* items = secret_service_search_finish((*holder)->secretService, result, &error);
  if (error != nullptr) return finish(holder, fromGError(error));
  std::optional<Error> failure;
  if (items != nullptr) {
    auto* item = static_cast<SecretItem*>(items->data);
    SecretValue* value = nullptr;
    if (secret_item_get_locked(item) != FALSE) {
      failure = secretError(kLocked, "the keyring is locked (unlocking it needs a prompt)");
    } else if ((value = secret_item_get_secret(item)) == nullptr) {
      failure = secretError(kServiceError, "the secret service sent no secret for the item");
    } else {
      gsize length = 0;
      const gchar* bytes = secret_value_get(value, &length);
      (*holder)->found.emplace(bytes, bytes + length);
      secret_value_unref(value);
    }
    g_list_free_full(items, g_object_unref);
  }
  finish(holder, std::move(failure));
}

void onCollection(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<Holder*>(data);
  Call& call = **holder;
  GError* error = nullptr;
  SecretCollection* collection = secret_collection_for_alias_finish(result, &error);
  if (error != nullptr) return finish(holder, fromGError(error));
  if (collection == nullptr) {
    return finish(holder, secretError(kNoKeyring, "there is no default keyring"));
  }
  const bool locked = secret_collection_get_locked(collection) != FALSE;
  g_object_unref(collection);
  // Never a prompt: a locked keyring is a failure at once.
  if (locked) {
    return finish(holder,
                  secretError(kLocked, "the keyring is locked (unlocking it needs a prompt)"));
  }
  if (call.kind == Kind::remove) {
    secret_service_clear(call.secretService, schema(), call.attributes, call.cancellable,
                         &onCleared, holder);
    return;
  }
  SecretValue* value = secret_value_new(reinterpret_cast<const gchar*>(call.secret.data()),
                                        static_cast<gssize>(call.secret.size()), "text/plain");
  secret_service_store(call.secretService, schema(), call.attributes, SECRET_COLLECTION_DEFAULT,
                       call.label.c_str(), value, call.cancellable, &onStored, holder);
  secret_value_unref(value);
}

void onService(GObject* /*source*/, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<Holder*>(data);
  Call& call = **holder;
  GError* error = nullptr;
  call.secretService = secret_service_get_finish(result, &error);
  if (error != nullptr) return finish(holder, fromGError(error));
  if (call.kind == Kind::read) {
    secret_service_search(call.secretService, schema(), call.attributes, SECRET_SEARCH_LOAD_SECRETS,
                          call.cancellable, &onSearched, holder);
    return;
  }
  secret_collection_for_alias(call.secretService, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                              call.cancellable, &onCollection, holder);
}

class LibsecretStore final : public SecretStore {
 public:
  explicit LibsecretStore(Options options) : options_(options) {}

  Result<void> save(const std::string& service, const std::string& account,
                    std::span<const std::uint8_t> secret, const std::string& label) override {
    auto call = std::make_shared<Call>(Kind::save, service, account);
    call->secret.assign(secret.begin(), secret.end());
    call->label = label;
    return run(call);
  }

  Result<std::optional<Bytes>> read(const std::string& service,
                                    const std::string& account) override {
    auto call = std::make_shared<Call>(Kind::read, service, account);
    auto ran = run(call);
    if (ran.isFailure()) return ran.error();
    return std::move(call->found);
  }

  Result<bool> remove(const std::string& service, const std::string& account) override {
    auto call = std::make_shared<Call>(Kind::remove, service, account);
    auto ran = run(call);
    if (ran.isFailure()) return ran.error();
    return call->removed;
  }

 private:
  // Starts the call on the GLib thread and waits for it, at most the timeout.
  Result<void> run(const std::shared_ptr<Call>& call) const {
    if (!detail::sessionBusConfigured()) return detail::noSessionBus();
    detail::runOnGioThread([&] {
      secret_service_get(SECRET_SERVICE_OPEN_SESSION, call->cancellable, &onService,
                         new Holder(call));  // NOLINT(cppcoreguidelines-owning-memory)
    });
    std::unique_lock<std::mutex> lock(call->mutex);
    const BlockingScope blocking;
    if (!call->finished.wait_for(lock, std::chrono::milliseconds(options_.busTimeoutMs),
                                 [&] { return call->done; })) {
      lock.unlock();
      g_cancellable_cancel(call->cancellable);
      return secretError(kTimeout, "the secret service did not answer within " +
                                       std::to_string(options_.busTimeoutMs) + " ms");
    }
    if (call->failure) return *call->failure;
    return {};
  }

  const Options options_;
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::makeDesktop(Options options) {
  return std::make_shared<LibsecretStore>(options);
}

Result<std::shared_ptr<SecretStore>> detail::desktopSecretStore() {
  return SecretStore::makeDesktop({});
}

}  // namespace mornik
