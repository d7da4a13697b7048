#pragma once

#include <functional>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// A content codec: how a document reads and writes its whole content. The
// document never knows where the content lives; the codec's two callables
// do (a file, a settings key, memory).
//
//   Flow::IO<int> counter{
//       [&] { return Result<int>(stored); },
//       [&](const int& value) { stored = value; return Result<void>(); }};
//   counter.writeContent(3);
//   counter.readContent();   // success(3)
//
// The ready-made codecs are in Codecs.hpp. Nothing is cached in a codec:
// every readContent() calls `read` and every writeContent() calls `write`.
//
// Thread safety: as thread-safe as its callables; the library's codecs may
// be called from any thread.
template <class T>
struct IO {
  std::function<Result<T>()> read;
  std::function<Result<void>(const T&)> write;

  // Calls `read` and returns its result.
  Result<T> readContent() const { return read(); }
  // Calls `write` with the content and returns its result.
  Result<void> writeContent(const T& content) const { return write(content); }
};

// The same pair of callables, as the codec type of in-memory data items.
template <class T>
struct MemDataIO {
  std::function<Result<T>()> read;
  std::function<Result<void>(const T&)> write;

  Result<T> readContent() const { return read(); }
  Result<void> writeContent(const T& content) const { return write(content); }
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
