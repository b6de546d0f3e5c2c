# Cross build for 64-bit ARM with Debian's cross compiler and its multiarch :arm64 libraries.
# Binaries run under plain qemu-aarch64: libc6:arm64 provides the loader at its multiarch path,
# so no QEMU_LD_PREFIX is needed (and a sysroot prefix makes threaded programs hang).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config reads the :arm64 packages' files only (never the build machine's).
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
