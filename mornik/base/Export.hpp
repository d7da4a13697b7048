#pragma once

// The library is built with hidden visibility: only what its installed
// headers declare is exported from the shared object. Each installed header
// wraps its declarations in these two macros; everything a source file keeps
// to itself, and the standard library instantiations it makes, stays inside.
#if defined(__GNUC__) || defined(__clang__)
#define MORNIK_EXPORTS_BEGIN _Pragma("GCC visibility push(default)")
#define MORNIK_EXPORTS_END _Pragma("GCC visibility pop")
#else
#define MORNIK_EXPORTS_BEGIN
#define MORNIK_EXPORTS_END
#endif
