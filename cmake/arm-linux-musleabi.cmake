# The board: 32-bit little-endian ARM, EABI, soft-float (armel), compiled for
# the preset's floor core, PORTLINK_FLOOR (ARMv5TE), so the programs run on
# that core and on every newer one. They are linked statically against
# Debian's musl for armel (musl-dev:armel), itself built for ARMv5TE, so the
# programs need nothing on the board but its kernel.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(PORTLINK_MUSL arm-linux-musleabi)
set(PORTLINK_BINUTILS arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
portlink_compile_for_floor("-mfloat-abi=soft")
