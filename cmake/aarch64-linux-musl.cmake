# A PC or a board of today on 64-bit ARM (arm64: an ARM laptop, a Raspberry Pi
# used as the PC), linked statically against Debian's musl for arm64
# (musl-dev:arm64), so the programs start on any AArch64 Linux whatever its C
# library. Compiled for the architecture's baseline (ARMv8-A), the cross
# compiler's default.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(PORTLINK_MUSL aarch64-linux-musl)
set(PORTLINK_BINUTILS aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
