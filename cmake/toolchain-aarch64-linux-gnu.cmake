# Cross-builds for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu, whose binutils also strip and split the symbols).
# Libraries and headers are taken only from CMAKE_FIND_ROOT_PATH, which
# cmake/target_packages.cmake fills with the arm64 packages it fetches, never
# from this machine's own /usr.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Check programs that a configure runs go through qemu's user-mode emulator;
# -L finds the cross C library's loader for the dynamically linked ones.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
