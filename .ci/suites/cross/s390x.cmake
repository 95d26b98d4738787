# Debian s390x: cross-built with s390x-linux-gnu-g++, run under qemu-s390x-static.
set(triplet s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(qemu_cpu s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu.cmake)
