# Shared part of the toolchain files: a cross build with Debian's cross
# compiler (crossbuild-essential-<arch>), which brings its own C library
# headers and start files, against the target's own Debian libraries unpacked
# into a sysroot (scripts/sysroot), run with qemu-user.
#
# The including file sets KEM_DEB_ARCH (Debian's architecture name),
# KEM_TRIPLET (GNU triplet) and KEM_QEMU_NAME. KEM_SYSROOT defaults to the
# sysroot that ./build.sh cross <arch> makes: build-<arch>/sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KEM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KEM_TRIPLET}-g++)

if(NOT KEM_SYSROOT)
  get_filename_component(KEM_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build-${KEM_DEB_ARCH}/sysroot" ABSOLUTE)
endif()
if(NOT EXISTS "${KEM_SYSROOT}/usr/include/lua5.1/lua.h")
  message(FATAL_ERROR "No sysroot for ${KEM_DEB_ARCH} at ${KEM_SYSROOT}: make it with "
    "scripts/sysroot ${KEM_DEB_ARCH} ${KEM_SYSROOT} (./build.sh cross ${KEM_DEB_ARCH} does)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEM_SYSROOT)

# Libraries, headers and packages from the sysroot; programs from the host.
set(CMAKE_FIND_ROOT_PATH ${KEM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE ${KEM_TRIPLET})

# The sysroot holds no C library headers (the compiler has its own), so its
# include folders come after the compiler's; the linker resolves the
# libraries' own dependencies there.
set(_kem_flags "-idirafter ${KEM_SYSROOT}/usr/include/${KEM_TRIPLET} -idirafter ${KEM_SYSROOT}/usr/include")
set(CMAKE_C_FLAGS_INIT "${_kem_flags}")
set(CMAKE_CXX_FLAGS_INIT "${_kem_flags}")
set(_kem_link "-Wl,-rpath-link,${KEM_SYSROOT}/lib/${KEM_TRIPLET}:${KEM_SYSROOT}/usr/lib/${KEM_TRIPLET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_kem_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kem_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kem_link}")

# pkg-config reads the sysroot's .pc files and puts the sysroot in front of
# their paths.
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} "${KEM_SYSROOT}/usr/lib/${KEM_TRIPLET}/pkgconfig:${KEM_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${KEM_SYSROOT}")

# Built programs run under the emulator, which finds the target's dynamic
# loader and libraries in the sysroot.
find_program(KEM_QEMU ${KEM_QEMU_NAME} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEM_QEMU} -L ${KEM_SYSROOT})
