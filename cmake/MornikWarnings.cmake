# Warning flags for the library's own targets (never exported to consumers).
add_library(mornik_warnings INTERFACE)
target_compile_options(mornik_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # Checks the MORNIK_GUARDED_BY / MORNIK_REQUIRES annotations.
  target_compile_options(mornik_warnings INTERFACE -Wthread-safety)
endif()
if(MORNIK_WERROR)
  target_compile_options(mornik_warnings INTERFACE -Werror)
endif()
