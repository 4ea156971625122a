# Cross-build for 32-bit ARM, hard float (char is unsigned there); tests run
# under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(DEBIAN_TRIPLET arm-linux-gnueabihf)
set(QEMU_USER qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
