# Flags of a QUOR_FUZZ build: everything is instrumented for libFuzzer's
# coverage and built with AddressSanitizer and UndefinedBehaviorSanitizer;
# only the fuzz targets themselves (fuzz/CMakeLists.txt) link libFuzzer.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "QUOR_FUZZ needs clang (e.g. -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14)")
endif()
if(QUOR_SANITIZE)
  message(FATAL_ERROR "QUOR_FUZZ chooses its own sanitizers; leave QUOR_SANITIZE empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)
