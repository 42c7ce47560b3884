# Cross-building for aarch64 Linux with Debian's g++-aarch64-linux-gnu; the
# programs run under qemu-user. -DNIMBRA_AARCH64_ROOT=... names a folder holding
# Debian's arm64 packages unpacked (scripts/aarch64.sh makes it): GoogleTest
# and the Python headers are found there, and qemu reads the dynamic loader
# and shared libraries from there.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NIMBRA_AARCH64_ROOT)
if(NOT IS_DIRECTORY "${NIMBRA_AARCH64_ROOT}/usr")
  message(FATAL_ERROR "NIMBRA_AARCH64_ROOT (${NIMBRA_AARCH64_ROOT}) holds no unpacked arm64 packages")
endif()
set(CMAKE_FIND_ROOT_PATH "${NIMBRA_AARCH64_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's pyconfig.h forwards to <aarch64-linux-gnu/python3.11/pyconfig.h>;
# searched last, so the cross compiler's own C library headers come first.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${NIMBRA_AARCH64_ROOT}/usr/include")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${NIMBRA_AARCH64_ROOT}")
