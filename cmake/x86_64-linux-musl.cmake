# The PC of today: x86-64 (amd64), linked statically against Debian's musl for
# amd64 (musl-dev:amd64), so the programs start on any x86-64 Linux whatever
# its C library, with no 32-bit support needed. Compiled for the architecture's
# baseline, the compiler's default. The C++ sources go through musl's C
# driver: it sees only musl's headers and links no C++ library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-linux-musl-gcc)
set(CMAKE_CXX_COMPILER x86_64-linux-musl-gcc)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PORTLINK_C_LIBRARY musl)
# musl brings only the compiler driver; the binutils are the machine's own.
set(CMAKE_AR x86_64-linux-gnu-ar)
set(CMAKE_RANLIB x86_64-linux-gnu-ranlib)
set(CMAKE_STRIP x86_64-linux-gnu-strip)
set(CMAKE_OBJDUMP x86_64-linux-gnu-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/lib/x86_64-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
