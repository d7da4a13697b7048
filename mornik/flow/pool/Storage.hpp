#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeindex>
#include <unordered_map>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockedVar.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

class Pool;

// A keyed store of objects that belong to one identity (a project, a feature)
// and to that identity's pool: each object is made once, on first request,
// and found again by its class and an id string.
//
//   auto index = project.storage()->lazyInit<SearchIndex>(
//       "main", [](const ProjectID& id, const std::shared_ptr<Pool>& pool) {
//         return std::make_shared<SearchIndex>(id.path, pool);
//       });
//
// Keys: an entry is keyed by the object's class and its id together, so the
// same id names different objects for different classes. The key is the
// pair itself rather than a hash of it, so two keys never collide and a
// request never gets another class's object.
//
// Creation happens outside the lock: two threads asking at once for a
// missing entry may both run their block; the later store wins and each
// caller gets the object its own block made. Blocks run on the caller's
// thread.
//
// Thread safety: every member may be called from any thread; one lock
// guards the items, and no block runs under it.
template <class ID>
class Storage {
 public:
  using PoolPointer = std::shared_ptr<Pool>;

  Storage(ID id, PoolPointer pool) : id_(std::move(id)), pool_(std::move(pool)) {}
  virtual ~Storage() = default;

  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  const ID& id() const { return id_; }
  const PoolPointer& pool() const { return pool_; }

  // The object stored for (T, id), made by `block(storage id, pool)` on
  // first request. A block that returns null stores nothing and returns null.
  template <class T, class Block>
    requires std::is_invocable_r_v<std::shared_ptr<T>, Block&, const ID&, const PoolPointer&>
  std::shared_ptr<T> lazyInit(std::string_view id, Block&& block) {
    Key key{std::type_index(typeid(T)), std::string(id)};
    if (auto found = items_.get(key)) return std::static_pointer_cast<T>(*found);
    std::shared_ptr<T> made = std::invoke(block, id_, pool_);
    if (made == nullptr) return made;
    // Whatever this replaces is released after the lock, never under it.
    std::shared_ptr<void> replaced = items_.access([&](Items& items) {
      std::shared_ptr<void>& slot = items[key];
      return std::exchange(slot, std::static_pointer_cast<void>(made));
    });
    return made;
  }

  // Forgets the object stored for (T, id), if any; the next lazyInit makes
  // a new one. Holders of the old object keep it.
  template <class T>
  void remove(std::string_view id) {
    const Key key{std::type_index(typeid(T)), std::string(id)};
    // Released after the lock: the object's destructor may use this storage.
    std::shared_ptr<void> removed = items_.access([&](Items& items) {
      const auto found = items.find(key);
      if (found == items.end()) return std::shared_ptr<void>();
      std::shared_ptr<void> object = std::move(found->second);
      items.erase(found);
      return object;
    });
  }

 private:
  struct Key {
    std::type_index type;
    std::string id;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept {
      std::size_t seed = key.type.hash_code();
      return seed ^
             (std::hash<std::string>()(key.id) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
    }
  };

  using Items = std::unordered_map<Key, std::shared_ptr<void>, KeyHash>;

  const ID id_;
  const PoolPointer pool_;
  LockedVar<Items> items_;
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
