# The gateway's target: 32-bit MIPS, little-endian, Linux, built with Debian's
# cross compiler. The target's libraries come from Debian's mipsel packages
# unpacked into QM_TARGET_SYSROOT (scripts/install-target-deps.sh); test
# binaries run under qemu-mipsel.
#
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
# Debian's multiarch triplet: where the packages put libraries and CMake configs.
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

# The cross toolchain's own libc and libstdc++.
set(QM_TOOLCHAIN_PREFIX /usr/mipsel-linux-gnu)

if(NOT QM_TARGET_SYSROOT)
  if(DEFINED ENV{QM_TARGET_SYSROOT})
    set(QM_TARGET_SYSROOT "$ENV{QM_TARGET_SYSROOT}")
  elseif(CMAKE_BINARY_DIR)
    set(QM_TARGET_SYSROOT "${CMAKE_BINARY_DIR}/sysroot")
  endif()
endif()
if(NOT QM_TARGET_SYSROOT)
  message(FATAL_ERROR "mipsel-linux-gnu: QM_TARGET_SYSROOT is not set; run scripts/install-target-deps.sh")
endif()
get_filename_component(QM_TARGET_SYSROOT "${QM_TARGET_SYSROOT}" ABSOLUTE)
if(NOT EXISTS "${QM_TARGET_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(FATAL_ERROR "mipsel-linux-gnu: no target libraries in ${QM_TARGET_SYSROOT}; "
                      "run scripts/install-target-deps.sh ${QM_TARGET_SYSROOT}")
endif()
# try_compile projects re-read this file with another binary dir.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QM_TARGET_SYSROOT)

# Not CMAKE_SYSROOT: --sysroot would hide the toolchain's libc from the
# compiler. The packages' CMake configs locate themselves relative to their
# own file, so rooting the search in the sysroot is enough for them.
set(CMAKE_FIND_ROOT_PATH "${QM_TARGET_SYSROOT}" "${QM_TOOLCHAIN_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The .pc files say prefix=/usr: the host's pkg-config reads only the
# sysroot's files and prefixes their paths with the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
    "${QM_TARGET_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${QM_TARGET_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${QM_TARGET_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})

# Shared libraries that the sysroot's libraries need in turn.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${QM_TARGET_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")

# User-mode emulation: the dynamic loader and libc from the toolchain's
# prefix, the packages' libraries from the sysroot.
find_program(QM_QEMU_MIPSEL qemu-mipsel)
if(QM_QEMU_MIPSEL)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${QM_QEMU_MIPSEL};-L;${QM_TOOLCHAIN_PREFIX};-E;LD_LIBRARY_PATH=${QM_TARGET_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
