# CMake toolchain for the portable wheels: zig's clang for KVT_ZIG_TARGET, a zig target triple
# with a glibc floor (x86_64-linux-gnu.2.28, aarch64-linux-gnu.2.28). Code built so runs on any
# Linux with that glibc or newer; the C++ runtime (libc++, libc++abi, libunwind) is linked in
# statically, so the extension modules need nothing beyond glibc and libm.
#   cmake -DCMAKE_TOOLCHAIN_FILE=tools/zig/toolchain.cmake -DKVT_ZIG_TARGET=aarch64-linux-gnu.2.28
if(NOT KVT_ZIG_TARGET)
  set(KVT_ZIG_TARGET "$ENV{KVT_ZIG_TARGET}")
endif()
if(NOT KVT_ZIG_TARGET)
  message(FATAL_ERROR "set KVT_ZIG_TARGET (e.g. x86_64-linux-gnu.2.28), as a cache entry or in "
                      "the environment")
endif()
# try_compile projects get the same target.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KVT_ZIG_TARGET)
string(REGEX MATCH "^[^-]+" KVT_ZIG_ARCH "${KVT_ZIG_TARGET}")

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KVT_ZIG_ARCH})
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib CACHE FILEPATH "")
set(CMAKE_C_FLAGS_INIT "-target ${KVT_ZIG_TARGET}")
set(CMAKE_CXX_FLAGS_INIT "-target ${KVT_ZIG_TARGET}")
set(CMAKE_ASM_FLAGS_INIT "-target ${KVT_ZIG_TARGET}")

# No sysroot: every library of the target is named explicitly (ISA-L through PKG_CONFIG_LIBDIR,
# GoogleTest through GTest_DIR, zlib through ZLIB_LIBRARY), and programs (pkg-config, Python,
# nasm) are the build machine's.
