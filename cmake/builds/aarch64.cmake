# Initial cache of the cross build for 64-bit ARM (bank, product_timer; the
# tests run under qemu-user): cmake -C cmake/builds/aarch64.cmake -S . -B build/aarch64
set(CMAKE_BUILD_TYPE Release CACHE STRING "")
set(CMAKE_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/../aarch64-linux-gnu.cmake" CACHE FILEPATH "")
set(CROSS_EXTRA_ROOTS "${CMAKE_CURRENT_LIST_DIR}/../../build/aarch64-googletest" CACHE PATH "")
