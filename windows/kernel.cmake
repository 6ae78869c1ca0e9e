# Compile and link settings for ovrausb.sys (included by the top-level
# CMakeLists.txt before driver/ when OVRA_KERNEL is on).

# The WDK headers that mingw-w64 ships, searched before the user-mode ones.
set(OVRA_WDK_INCLUDE /usr/share/mingw-w64/include/ddk)
if(NOT EXISTS ${OVRA_WDK_INCLUDE}/ntddk.h)
  message(FATAL_ERROR "kernel build: ${OVRA_WDK_INCLUDE}/ntddk.h not found (install mingw-w64-x86-64-dev)")
endif()

# Freestanding kernel C++: no exceptions, RTTI, thread-safe static guards or
# stack-protector runtime; no type-based alias analysis (the driver reinterprets
# URBs and descriptors the way kernel code does); small stack frames. Unwind
# tables stay on: the kernel needs .pdata to unwind through driver frames.
set(OVRA_KERNEL_CXX_FLAGS
  -isystem ${OVRA_WDK_INCLUDE}
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -fno-strict-aliasing
  -Wframe-larger-than=1024
  -Wall -Wextra -Werror -Wno-unused-parameter)

# A native-subsystem DLL image entered at DriverEntry, relocatable, NX, with no
# runtime libraries and nothing exported.
set(OVRA_KERNEL_LINK_FLAGS
  -nostdlib -shared
  -Wl,--subsystem,native
  -Wl,--entry,DriverEntry
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,--exclude-all-symbols
  -Wl,--gc-sections
  -Wl,--no-insert-timestamp)

# ksguid: definitions of the published GUIDs (KSDATAFORMAT_TYPE_VIDEO, property
# set ids...); --gc-sections keeps only those the driver refers to.
set(OVRA_KERNEL_LIBS ksguid ks usbd ntoskrnl hal gcc)

# No Win32 libraries behind the driver's back (CMake adds kernel32 & co. by default).
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_FLAGS_RELEASE "-O2")
set(CMAKE_C_FLAGS_RELEASE "-O2")
