# Toolchain for the kernel build: x86_64 Windows with the mingw-w64 cross
# compiler from Debian (g++-mingw-w64-x86-64-win32). The kernel-mode flags
# live in windows/kernel.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(OVRA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${OVRA_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OVRA_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${OVRA_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP ${OVRA_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${OVRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
