# The PC: 32-bit x86 (i386), linked statically against Debian's musl for i386
# (musl-dev:i386), so the program starts on any 32-bit x86 Linux whatever its
# C library. The code is compiled for the preset's floor core, PORTLINK_FLOOR
# (i486: no cmov, no fcomi, no sysenter; musl's own code needs no more). The
# C++ sources go through musl's C driver: it sees only musl's headers and links
# no C++ library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i386-linux-musl-gcc)
set(CMAKE_CXX_COMPILER i386-linux-musl-gcc)
if(NOT PORTLINK_FLOOR)
  message(FATAL_ERROR "PORTLINK_FLOOR (the oldest core to run on, as -march takes it) is not set")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PORTLINK_FLOOR)
set(CMAKE_CXX_FLAGS_INIT "-march=${PORTLINK_FLOOR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PORTLINK_C_LIBRARY musl)
# musl brings only the compiler driver; the binutils are the cross compiler's.
set(CMAKE_AR i686-linux-gnu-ar)
set(CMAKE_RANLIB i686-linux-gnu-ranlib)
set(CMAKE_STRIP i686-linux-gnu-strip)
set(CMAKE_OBJDUMP i686-linux-gnu-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/lib/i386-linux-musl)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
