# Initial cache of the ThreadSanitizer build (clang with LLVM's OpenMP
# runtime): cmake -C cmake/builds/tsan.cmake -S . -B build/tsan
set(CMAKE_BUILD_TYPE Debug CACHE STRING "")
set(CMAKE_C_COMPILER clang CACHE STRING "")
set(CMAKE_CXX_COMPILER clang++ CACHE STRING "")
set(CMAKE_CXX_FLAGS "-O1 -fno-omit-frame-pointer -fsanitize=thread" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "-fsanitize=thread" CACHE STRING "")
set(SANITIZER_BUILD thread CACHE STRING "")
