# The board: 32-bit little-endian ARM, EABI, soft-float (armel), compiled for
# the preset's floor core, PORTLINK_FLOOR (ARMv5TE), so the programs run on
# that core and on every newer one. They are linked statically against
# Debian's musl for armel (musl-dev:armel), itself built for ARMv5TE. The C++
# sources go through musl's C driver: it sees only musl's headers and links no
# C++ library, so the programs need nothing on the board but its kernel.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-musleabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-musleabi-gcc)
if(NOT PORTLINK_FLOOR)
  message(FATAL_ERROR "PORTLINK_FLOOR (the oldest core to run on, as -march takes it) is not set")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PORTLINK_FLOOR)
set(CMAKE_CXX_FLAGS_INIT "-march=${PORTLINK_FLOOR} -mfloat-abi=soft")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PORTLINK_C_LIBRARY musl)
# musl brings only the compiler driver; the binutils are the cross compiler's.
set(CMAKE_AR arm-linux-gnueabi-ar)
set(CMAKE_RANLIB arm-linux-gnueabi-ranlib)
set(CMAKE_STRIP arm-linux-gnueabi-strip)
set(CMAKE_OBJDUMP arm-linux-gnueabi-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/lib/arm-linux-musleabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
