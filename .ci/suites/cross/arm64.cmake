# Debian arm64: cross-built with aarch64-linux-gnu-g++, run under qemu-aarch64-static.
set(triplet aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(qemu_cpu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
