# What every toolchain file of the static builds shares: a musl for one
# architecture and a compiler driver for it, PORTLINK_MUSL_GCC, with the
# binutils of the cross compiler under it, PORTLINK_BINUTILS (i686-linux-gnu),
# and the folder of its libraries, PORTLINK_MUSL_ROOT. By default these are
# Debian's musl, named by its triplet, PORTLINK_MUSL (i386-linux-musl): its
# driver i386-linux-musl-gcc and /usr/lib/i386-linux-musl. The C++ sources go
# through musl's C driver: it sees only musl's headers and links no C++
# library. The including file sets these names and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Linux)
if(NOT PORTLINK_MUSL_GCC)
  set(PORTLINK_MUSL_GCC ${PORTLINK_MUSL}-gcc)
  set(PORTLINK_MUSL_ROOT /usr/lib/${PORTLINK_MUSL})
endif()
set(CMAKE_C_COMPILER ${PORTLINK_MUSL_GCC})
set(CMAKE_CXX_COMPILER ${PORTLINK_MUSL_GCC})
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PORTLINK_C_LIBRARY musl)
# musl brings at most the compiler driver; the binutils are the cross compiler's.
set(CMAKE_AR ${PORTLINK_BINUTILS}-ar)
set(CMAKE_RANLIB ${PORTLINK_BINUTILS}-ranlib)
set(CMAKE_STRIP ${PORTLINK_BINUTILS}-strip)
set(CMAKE_OBJDUMP ${PORTLINK_BINUTILS}-objdump)
set(CMAKE_FIND_ROOT_PATH ${PORTLINK_MUSL_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# For a target with a floor core: compiles for the preset's PORTLINK_FLOOR (as
# -march takes it), with the flags `extra` besides, and hands the floor on to
# CMake's own trial builds.
macro(portlink_compile_for_floor extra)
  if(NOT PORTLINK_FLOOR)
    message(FATAL_ERROR "PORTLINK_FLOOR (the oldest core to run on, as -march takes it) is not set")
  endif()
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PORTLINK_FLOOR)
  set(CMAKE_CXX_FLAGS_INIT "-march=${PORTLINK_FLOOR} ${extra}")
endmacro()
