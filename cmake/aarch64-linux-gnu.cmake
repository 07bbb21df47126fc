# Cross build for 64-bit ARM Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), the tests run under qemu-user (qemu-user-static):
#
#   cmake -C cmake/builds/aarch64.cmake -S . -B build/aarch64   (or: bash scripts/cross_aarch64.sh)
#
# Libraries and packages come from the target's tree only; programs (qemu,
# valgrind, the shell) from the build machine. Tests and the programs they
# start run through CMAKE_CROSSCOMPILING_EMULATOR: the kernel's binfmt
# settings are neither needed nor touched.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CROSS_SYSROOT /usr/${CROSS_TRIPLE})

# CROSS_EXTRA_ROOTS: more target trees to search, such as a GoogleTest built
# for the target (scripts/cross_aarch64.sh builds one).
set(CMAKE_FIND_ROOT_PATH ${CROSS_SYSROOT} ${CROSS_EXTRA_ROOTS})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_EXTRA_ROOTS)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: where qemu finds the target's dynamic loader and shared libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${CROSS_SYSROOT})
