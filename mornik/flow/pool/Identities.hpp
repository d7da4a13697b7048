#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/flow/pool/Storage.hpp"
#include "mornik/text/Json.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

class Pool;

// The name of a process-wide pool: every PoolID with the same id gives the
// same pool, so parts of an application that share nothing but a name share
// their background work and their errors.
//
//   Flow::PoolID{"sync"}.pool()->future([] { return upload(); });
//
// The first request for a name makes a pool on the global default queue and
// registers it for good. It is made outside the registry's lock: two threads
// asking at once for a new name may both make one; the later registration
// wins and each caller gets the pool it made. Once registered, every caller
// gets that pool.
//
// JSON: {"id": "<name>"}.
//
// Thread safety: every member may be called from any thread.
struct PoolID {
  std::string id;

  std::shared_ptr<Pool> pool() const;

  friend bool operator==(const PoolID&, const PoolID&) = default;
};

// A project named by its file-system path, with one storage and one pool per
// path for the whole process. One trailing "/" is dropped from the path, so
// "/p/" and "/p" are the same project; "/p//" keeps one slash and is another.
//
//   Flow::ProjectID project("/home/me/novel/");
//   project.path;                 // "/home/me/novel"
//   project.pool()->future(...);  // runs on the project's serial queue
//   project.send(error);          // lands in the project pool's error pool
//
// A project's storage is made under the registry's lock, so a path never gets
// two: a new serial queue labelled "Flow.ProjectID.<absolute path>", a pool
// on it, and a storage with this identity and that pool. They live until the
// process ends.
//
// JSON: {"path": "<path>"}; decoding keeps the path as written.
//
// Thread safety: every member may be called from any thread.
struct ProjectID {
  std::string path;

  explicit ProjectID(std::string_view path);
  explicit ProjectID(const URL& url);

  URL url() const;
  std::shared_ptr<Storage<ProjectID>> storage() const;
  std::shared_ptr<Pool> pool() const;
  // Appends `error` to the error pool of the project's pool.
  void send(const Error& error) const;

  friend bool operator==(const ProjectID&, const ProjectID&) = default;

 private:
  struct Verbatim {};
  ProjectID(Verbatim, std::string path) : path(std::move(path)) {}
  friend struct nlohmann::adl_serializer<ProjectID>;
};

void to_json(nlohmann::json& json, const PoolID& id);    // NOLINT(readability-identifier-naming)
void from_json(const nlohmann::json& json, PoolID& id);  // NOLINT(readability-identifier-naming)

}  // namespace mornik::Flow

template <>
struct std::hash<mornik::Flow::PoolID> {
  std::size_t operator()(const mornik::Flow::PoolID& id) const noexcept {
    return std::hash<std::string>()(id.id);
  }
};

template <>
struct std::hash<mornik::Flow::ProjectID> {
  std::size_t operator()(const mornik::Flow::ProjectID& id) const noexcept {
    return std::hash<std::string>()(id.path);
  }
};

// ProjectID has no default value, so it decodes through its own serializer.
template <>
struct nlohmann::adl_serializer<mornik::Flow::ProjectID> {
  static mornik::Flow::ProjectID from_json(  // NOLINT(readability-identifier-naming)
      const nlohmann::json& json) {
    return {mornik::Flow::ProjectID::Verbatim{}, json.at("path").get<std::string>()};
  }
  static void to_json(  // NOLINT(readability-identifier-naming)
      nlohmann::json& json, const mornik::Flow::ProjectID& id) {
    json = nlohmann::json{{"path", id.path}};
  }
};

MORNIK_EXPORTS_END
