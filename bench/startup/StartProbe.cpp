// A program that does nothing but start: built against mornik (ours) and
// against ICU and the C++ runtime only (the anchor) by bench/CMakeLists.txt,
// for the start-up benchmark. Each names a symbol of its library, so that
// the linker keeps the library and the loader loads and initialises it.
#ifdef MORNIK_START_PROBE_OURS
#include "mornik/base/UUID.hpp"
#else
#include <unicode/ucal.h>
#include <unicode/utypes.h>
#endif

int main(int argc, char** /*argv*/) {
  if (argc > 99) {  // never: the call only makes the library needed
#ifdef MORNIK_START_PROBE_OURS
    return static_cast<int>(mornik::UUID().uuidString().size());
#else
    return static_cast<int>(u_errorName(U_ZERO_ERROR)[0] + ucal_getNow());
#endif
  }
  return 0;
}
