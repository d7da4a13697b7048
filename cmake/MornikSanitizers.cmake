# MORNIK_SANITIZE=thread builds everything with ThreadSanitizer;
# MORNIK_SANITIZE=address with AddressSanitizer and UndefinedBehaviorSanitizer.
if(MORNIK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=thread)
elseif(MORNIK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=address,undefined)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # ASan's instrumentation makes g++ report std::variant and std::optional
    # members as maybe-uninitialized; the uninstrumented g++ build keeps the
    # warning on.
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
elseif(NOT MORNIK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "MORNIK_SANITIZE must be empty, 'thread' or 'address'")
endif()
