# Cross build for IBM Z (Debian s390x): 64-bit and big-endian, the proof
# that nothing assumes a byte order. ./build.sh cross s390x uses it.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(KEM_DEB_ARCH s390x)
set(KEM_TRIPLET s390x-linux-gnu)
set(KEM_QEMU_NAME qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
