# Shared part of the cross toolchains: Debian's cross compiler for
# ${triplet}, the target's libraries and CMake packages from Debian's
# multiarch folders (/usr/lib/${triplet}, headers in /usr/include), and
# qemu user-mode emulation to run what was built: gtest_discover_tests lists
# the tests through it and ctest runs every test binary through it.
# The including file sets triplet, CMAKE_SYSTEM_PROCESSOR and qemu_cpu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-${qemu_cpu}-static)

# Programs (python3, the emulator) are the build machine's; libraries,
# headers and CMake packages only the target's, never the build machine's
# multiarch folder.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
list(APPEND CMAKE_IGNORE_PATH /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu
     /lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu)
list(REMOVE_DUPLICATES CMAKE_IGNORE_PATH)  # this file is read more than once
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
