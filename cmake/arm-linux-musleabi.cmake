# The board: 32-bit little-endian ARM, EABI, soft-float (armel), in ARM state,
# compiled for the preset's floor core, PORTLINK_FLOOR (ARMv4T: the ARM920T of
# S3C2410/S3C2440, AT91RM9200 and EP93xx boards), so the programs run on that
# core and on every newer one. Debian's musl and libgcc for armel are built
# for ARMv5TE, so the programs are linked statically against a musl and a
# libgcc built for the floor from Debian's source packages by
# scripts/build-runtime (once: it keeps them in the user's cache), through the
# specs it writes, which name those and no other library. The programs need
# nothing on the board but its kernel.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PORTLINK_BINUTILS arm-linux-gnueabi)
set(arm_flags -marm -mfloat-abi=soft)
if(NOT EXISTS "${PORTLINK_RUNTIME}/gcc.specs")
  if(NOT PORTLINK_FLOOR)
    message(FATAL_ERROR "PORTLINK_FLOOR (the oldest core to run on, as -march takes it) is not set")
  endif()
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/build-runtime ${PORTLINK_BINUTILS}
      -march=${PORTLINK_FLOOR} ${arm_flags}
    OUTPUT_VARIABLE runtime OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "no musl and libgcc for ${PORTLINK_FLOOR}: scripts/build-runtime failed (above)")
  endif()
  set(PORTLINK_RUNTIME ${runtime} CACHE PATH "musl and libgcc for the floor core, by scripts/build-runtime" FORCE)
endif()
set(PORTLINK_MUSL_GCC ${PORTLINK_BINUTILS}-gcc)
set(PORTLINK_MUSL_ROOT ${PORTLINK_RUNTIME})
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PORTLINK_RUNTIME)
list(JOIN arm_flags " " arm_flags)
portlink_compile_for_floor("${arm_flags} -specs=${PORTLINK_RUNTIME}/gcc.specs")
