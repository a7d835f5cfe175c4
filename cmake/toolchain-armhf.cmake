# Cross build for 32-bit ARM, little-endian, hard float (Debian armhf): the
# device's class of machine. ./build.sh cross armhf uses it.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KEM_DEB_ARCH armhf)
set(KEM_TRIPLET arm-linux-gnueabihf)
set(KEM_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
