# 32-bit little-endian ARM Linux (arm-linux-gnueabihf), where ZRDB's users
# run it, built with Debian's cross compiler (g++-arm-linux-gnueabihf).
# GoogleTest and Google Benchmark come from Debian's armhf packages
# (multiarch: /usr/lib/arm-linux-gnueabihf); scripts/test-armhf.sh installs
# all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZRDB_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ZRDB_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZRDB_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ZRDB_ARMHF_TRIPLET})

# The cross C library lives under /usr/arm-linux-gnueabihf; the armhf
# packages of GoogleTest and Google Benchmark under /usr itself. Libraries,
# headers and CMake packages are searched in both, programs on the host only.
set(CMAKE_FIND_ROOT_PATH /usr/${ZRDB_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# A 64-bit time_t (and off_t, which glibc requires with it), as on every
# 64-bit target: Debian 12's armhf C library defaults to 32 bits, with which
# time(), clock_gettime() and so the realtime deadlines of the timed waits
# fail from 2038-01-19 on, within the life of a device built now. It needs
# glibc 2.34 or later (Debian 12 has 2.36). No declaration of the public
# headers uses time_t or off_t and no shared record holds one, so
# applications built without these flags still link to the library, and
# their processes share its segments.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")

# Test discovery at build time and ctest run the ARM programs through
# user-mode QEMU; no binfmt_misc registration is needed. They run on Debian's
# own armhf run time (libc6:armhf, libstdc++6:armhf, libbenchmark1debian:armhf
# under /usr/lib/arm-linux-gnueabihf), as on a Debian 12 ARM device: hence
# `-L /`. With `-L /usr/arm-linux-gnueabihf` the loader would come from the
# cross sysroot while the host's ld.so.cache, which lists the multiarch armhf
# libraries, hands it the other glibc build's libc.so.6; that mix crashed
# forked children. ZRDB_UNDER_QEMU tells the tests (tests/support/fixture.h):
# the few that need what user-mode emulation cannot give skip with the reason.
find_program(ZRDB_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(NOT ZRDB_QEMU_ARM)
  set(ZRDB_QEMU_ARM qemu-arm)  # test discovery then fails naming what is missing
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRDB_QEMU_ARM} -L / -E ZRDB_UNDER_QEMU=1)
