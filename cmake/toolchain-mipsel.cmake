# Cross build for 32-bit MIPS, little-endian (Debian mipsel): the other large
# family of network devices, and strict about alignment. ./build.sh cross
# mipsel uses it.
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(KEM_DEB_ARCH mipsel)
set(KEM_TRIPLET mipsel-linux-gnu)
set(KEM_QEMU_NAME qemu-mipsel)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
