# Initial cache of the fuzzing build (clang's libFuzzer with AddressSanitizer
# + UndefinedBehaviorSanitizer): cmake -C cmake/builds/fuzz.cmake -S . -B build/fuzz
set(CMAKE_BUILD_TYPE Debug CACHE STRING "")
set(CMAKE_C_COMPILER clang CACHE STRING "")
set(CMAKE_CXX_COMPILER clang++ CACHE STRING "")
set(CMAKE_CXX_FLAGS "-O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "-fsanitize=address,undefined" CACHE STRING "")
set(BUILD_TESTING OFF CACHE BOOL "")
set(BUILD_FUZZERS ON CACHE BOOL "")
