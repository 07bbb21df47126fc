# Initial cache of the AddressSanitizer + UndefinedBehaviorSanitizer build
# (gcc): cmake -C cmake/builds/asan.cmake -S . -B build/asan
set(CMAKE_BUILD_TYPE Debug CACHE STRING "")
set(CMAKE_C_COMPILER gcc CACHE STRING "")
set(CMAKE_CXX_COMPILER g++ CACHE STRING "")
set(CMAKE_CXX_FLAGS "-O1 -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all" CACHE STRING "")
set(CMAKE_EXE_LINKER_FLAGS "-fsanitize=address,undefined" CACHE STRING "")
set(SANITIZER_BUILD address CACHE STRING "")
