# Cross builds for another Linux processor, run under qemu-user: the
# presets set RIPPLE_CROSS_TRIPLE (aarch64-linux-gnu, s390x-linux-gnu) and
# RIPPLE_CROSS_CPU (aarch64, s390x). Debian's g++-TRIPLE and qemu-user
# provide the compiler and the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${RIPPLE_CROSS_CPU})
set(CMAKE_C_COMPILER ${RIPPLE_CROSS_TRIPLE}-gcc)  # GoogleTest's project enables C too
set(CMAKE_CXX_COMPILER ${RIPPLE_CROSS_TRIPLE}-g++)
# Where Debian's own libraries for the processor are installed beside the
# host's (multiarch, as making the arm64 package needs), the programs run on
# them alone, as on the real processor; else on the cross compiler's copy.
# The copy's loader with the installed C library hangs at the first fork.
if(EXISTS /lib/${RIPPLE_CROSS_TRIPLE}/libc.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${RIPPLE_CROSS_CPU})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${RIPPLE_CROSS_CPU};-L;/usr/${RIPPLE_CROSS_TRIPLE})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${RIPPLE_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
