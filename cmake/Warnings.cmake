# Every target of ours builds warning-free; third-party headers come in as SYSTEM includes.
add_compile_options(-Wall -Wextra -Werror)
# Designated initializers leave members at their declared defaults on purpose.
add_compile_options(-Wno-missing-field-initializers)

if(OAKENMERE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  # GCC's flow analysis reports optional<> members as maybe-uninitialized once ASan rewrites the
  # code; the normal build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  add_link_options(-fsanitize=address,undefined)
endif()

if(OAKENMERE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz build needs clang (configure with CXX=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
