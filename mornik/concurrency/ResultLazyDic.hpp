#pragma once

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadSafeAccess.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A cache whose getter may fail: successes are stored, failures returned and
// never stored, so the next lookup of the key tries again. Used through
// ThreadSafeAccess::cache like LazyDic.
template <class K, class V>
using ResultLazyDic = LazyDic<K, V, Result<V>>;

}  // namespace mornik

MORNIK_EXPORTS_END
