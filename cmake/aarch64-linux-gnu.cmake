# Cross-compiling for 64-bit Arm Linux on Debian (used by `make test-aarch64`):
#   compilers   g++-aarch64-linux-gnu, with arm64 libc and libstdc++ in /usr/aarch64-linux-gnu
#   libraries   multiarch arm64 packages (libtbb-dev:arm64, libgtest-dev:arm64): binaries and their
#               CMake package files in /usr/lib/aarch64-linux-gnu, headers shared in /usr/include
#   header-only nlohmann-json3-dev in /usr/include and /usr/share/cmake
#   pkg-config  libpcre2-dev:arm64, whose .pc files sit in /usr/lib/aarch64-linux-gnu/pkgconfig
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Search the cross toolchain's root, then the host's /usr, where (with CMAKE_LIBRARY_ARCHITECTURE
# set) libraries and package files are looked for in lib/aarch64-linux-gnu, never in the amd64
# lib/x86_64-linux-gnu. Programs (code generators and the like) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config reads the arm64 package files only (the host's would link amd64 libraries).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Run target programs (try_run, add_test) under user-mode emulation, with the loader and libc of
# libc6:arm64 (see QEMU_AARCH64 in the Makefile).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
