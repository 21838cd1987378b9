# A PC or a board of today on 64-bit ARM (arm64: an ARM laptop, a Raspberry Pi
# used as the PC), linked statically against Debian's musl for arm64
# (musl-dev:arm64), so the programs start on any AArch64 Linux whatever its C
# library. Compiled for the architecture's baseline (ARMv8-A), the cross
# compiler's default. The C++ sources go through musl's C driver: it sees only
# musl's headers and links no C++ library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-musl-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-musl-gcc)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PORTLINK_C_LIBRARY musl)
# musl brings only the compiler driver; the binutils are the cross compiler's.
set(CMAKE_AR aarch64-linux-gnu-ar)
set(CMAKE_RANLIB aarch64-linux-gnu-ranlib)
set(CMAKE_STRIP aarch64-linux-gnu-strip)
set(CMAKE_OBJDUMP aarch64-linux-gnu-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/lib/aarch64-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
