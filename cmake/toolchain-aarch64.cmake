# Cross build for 64-bit Arm with Debian's aarch64-linux-gnu toolchain and the
# arm64 -dev packages installed through multiarch (/usr/lib/aarch64-linux-gnu,
# headers shared in /usr/include). Used by scripts/cross-arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(triplet aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})

# Multiarch: the target's libraries live beside the host's under /usr, so the
# root is / and the architecture directory keeps the two apart. Programs run
# on the host; libraries, headers and package files come from the target.
set(CMAKE_FIND_ROOT_PATH /usr/${triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu)

# pkg-config must see only the arm64 .pc files (plus arch-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test binaries (gtest discovery, ctest) run through qemu-user with the
# root as the guest's library prefix, so the loader and libc both come from
# libc6:arm64 (/lib/ld-linux-aarch64.so.1, /lib/aarch64-linux-gnu). A prefix
# of /usr/${triplet} would take the loader of the cross package while the
# loader's cache still finds libc6:arm64: two glibc builds in one process
# (glibc only works with the loader of its own build), and the first fork or
# thread join spins for ever.
find_program(FPK_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(FPK_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FPK_QEMU_AARCH64} -L /)
endif()
