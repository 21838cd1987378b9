# The PC of today: x86-64 (amd64), linked statically against Debian's musl for
# amd64 (musl-dev:amd64), so the programs start on any x86-64 Linux whatever
# its C library, with no 32-bit support needed. Compiled for the architecture's
# baseline, the compiler's default.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(PORTLINK_MUSL x86_64-linux-musl)
set(PORTLINK_BINUTILS x86_64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
