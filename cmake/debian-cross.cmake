# Shared part of the Debian cross-build toolchains: the including file sets
# CMAKE_SYSTEM_PROCESSOR and DEBIAN_TRIPLET (the compiler prefix of Debian's
# g++-<triplet> package). Tests run under qemu-user, which finds the
# target's libraries in Debian's cross root.
set(CMAKE_SYSTEM_NAME Linux)


set(CMAKE_CXX_COMPILER ${DEBIAN_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${DEBIAN_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config too looks only for the target's libraries (such as gdk-pixbuf,
# for its loader), not this machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${DEBIAN_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_USER} -L /usr/${DEBIAN_TRIPLET})
