#include "mornik/flow/pool/Identities.hpp"

#include <string>
#include <unordered_map>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/pool/Pool.hpp"

namespace mornik::Flow {
namespace {

std::string withoutOneTrailingSlash(std::string path) {
  if (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

// Pools by name. Pools are made outside the lock: a pool's construction
// allocates its error pool and signal service, and nothing else should wait
// behind that.
class PoolRegistry {
 public:
  std::shared_ptr<Pool> pool(const std::string& name) {
    {
      mornik::detail::ScopedLock<UnfairLock> guard(lock_);
      if (const auto found = pools_.find(name); found != pools_.end()) return found->second;
    }
    auto made = Pool::make(DispatchQueue::global(QoS::default_));
    std::shared_ptr<Pool> replaced;  // released after the lock
    {
      mornik::detail::ScopedLock<UnfairLock> guard(lock_);
      replaced = std::exchange(pools_[name], made);
    }
    return made;
  }

 private:
  UnfairLock lock_;
  std::unordered_map<std::string, std::shared_ptr<Pool>> pools_ MORNIK_GUARDED_BY(lock_);
};

// Project storages by path, made under the lock so that a path never gets two.
class ProjectRegistry {
 public:
  std::shared_ptr<Storage<ProjectID>> storage(const ProjectID& project) {
    mornik::detail::ScopedLock<UnfairLock> guard(lock_);
    std::shared_ptr<Storage<ProjectID>>& slot = storages_[project.path];
    if (slot == nullptr) {
      DispatchQueue queue("Flow.ProjectID." + project.url().path());
      slot = std::make_shared<Storage<ProjectID>>(project, Pool::make(std::move(queue)));
    }
    return slot;
  }

 private:
  UnfairLock lock_;
  std::unordered_map<std::string, std::shared_ptr<Storage<ProjectID>>> storages_
      MORNIK_GUARDED_BY(lock_);
};

// Both live until the process ends and are never destroyed, so that their
// pools stay usable by work still running while static objects go.
PoolRegistry& poolRegistry() {
  static auto* registry = new PoolRegistry();
  return *registry;
}

ProjectRegistry& projectRegistry() {
  static auto* registry = new ProjectRegistry();
  return *registry;
}

}  // namespace

std::shared_ptr<Pool> PoolID::pool() const { return poolRegistry().pool(id); }

ProjectID::ProjectID(std::string_view path) : path(withoutOneTrailingSlash(std::string(path))) {}

ProjectID::ProjectID(const URL& url) : ProjectID(url.path()) {}

URL ProjectID::url() const { return URL::fileURL(path); }

std::shared_ptr<Storage<ProjectID>> ProjectID::storage() const {
  return projectRegistry().storage(*this);
}

std::shared_ptr<Pool> ProjectID::pool() const { return storage()->pool(); }

void ProjectID::send(const Error& error) const { pool()->errorPool()->append(error); }

void to_json(nlohmann::json& json, const PoolID& id) { json = nlohmann::json{{"id", id.id}}; }

void from_json(const nlohmann::json& json, PoolID& id) { id.id = json.at("id").get<std::string>(); }

}  // namespace mornik::Flow
