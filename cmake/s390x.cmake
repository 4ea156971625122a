# Cross-build for IBM Z (64-bit, big-endian); tests run under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(DEBIAN_TRIPLET s390x-linux-gnu)
set(QEMU_USER qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
