# The PC: 32-bit x86 (i386), linked statically against Debian's musl for i386
# (musl-dev:i386), so the program starts on any 32-bit x86 Linux whatever its
# C library. The code is compiled for the preset's floor core, PORTLINK_FLOOR
# (i486: no cmov, no fcomi, no sysenter; musl's own code needs no more).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(PORTLINK_MUSL i386-linux-musl)
set(PORTLINK_BINUTILS i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/musl-static.cmake)
portlink_compile_for_floor("")
