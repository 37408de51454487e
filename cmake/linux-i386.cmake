# The portable code and fa2 as 32-bit Linux programs, so a size or offset that overflows a 32-bit size_t fails
# on every machine; the tests run under user-mode emulation (qemu-i386), which needs no 32-bit kernel support.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
# Static: the emulator then needs no 32-bit loader or libraries of the machine's.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# binfmt_misc may not be mounted: every 32-bit program is started through the emulator by name.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
set(LIBLZMA_LIBRARY /usr/lib/i386-linux-gnu/liblzma.a CACHE FILEPATH "liblzma for the static 32-bit fa2")
