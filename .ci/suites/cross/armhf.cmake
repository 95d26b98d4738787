# Debian armhf: cross-built with arm-linux-gnueabihf-g++, run under qemu-arm-static.
set(triplet arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(qemu_cpu arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
