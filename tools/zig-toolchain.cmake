# CMake toolchain for zig's C/C++ compiler: builds Linux modules against glibc 2.17 with libc++
# linked statically, so that a wheel built on any Linux host runs on manylinux2014.
#   cmake --toolchain tools/zig-toolchain.cmake -DQUAYMARK_ZIG=/path/to/zig ...
# QUAYMARK_ZIG (cache variable or environment) names the zig executable, for instance the one
# of the `ziglang` package; QUAYMARK_ZIG_TARGET (default x86_64-linux-gnu.2.17) the target.
# A target of another architecture than the host's is a cross build: no interpreter of it runs
# here, so the target's Python headers and extension suffix are given as Python_INCLUDE_DIR
# and Python_SOABI (tools/build-wheels.sh does so for aarch64).
# CMake runs a toolchain file once per configure and once per try_compile; the wrappers are
# written next to the build tree's cache the first time.
if(NOT QUAYMARK_ZIG)
  set(QUAYMARK_ZIG "$ENV{QUAYMARK_ZIG}")
endif()
if(NOT QUAYMARK_ZIG)
  find_program(QUAYMARK_ZIG zig REQUIRED)
endif()
if(NOT QUAYMARK_ZIG_TARGET)
  set(QUAYMARK_ZIG_TARGET "$ENV{QUAYMARK_ZIG_TARGET}")
endif()
if(NOT QUAYMARK_ZIG_TARGET)
  set(QUAYMARK_ZIG_TARGET "x86_64-linux-gnu.2.17")
endif()
string(REGEX MATCH "^[^-]+" _zig_arch "${QUAYMARK_ZIG_TARGET}")
cmake_host_system_information(RESULT _host_arch QUERY OS_PLATFORM)
if(NOT _zig_arch STREQUAL _host_arch)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${_zig_arch}")
endif()
# try_compile projects see only the variables listed here.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUAYMARK_ZIG QUAYMARK_ZIG_TARGET)

# zig is one executable with subcommands; CMake wants one program per tool.
set(_zig_wrappers "$ENV{QUAYMARK_ZIG_WRAPPERS}")
if(NOT _zig_wrappers)
  set(_zig_wrappers "${CMAKE_BINARY_DIR}/zig-wrappers")
endif()
# CPython 3.8's Python.h includes <crypt.h>, which belongs to libcrypt and is missing from
# zig's glibc headers; the declaration it wants comes from a stand-in searched last.
if(NOT EXISTS "${_zig_wrappers}/include/crypt.h")
  file(WRITE "${_zig_wrappers}/include/crypt.h"
       "#pragma once\n#ifdef __cplusplus\nextern \"C\"\n#endif\n"
       "char *crypt(const char *key, const char *salt);\n")
endif()
foreach(_tool IN ITEMS cc c++ ar ranlib)
  set(_args "${_tool}")
  if(_tool MATCHES "^c")
    set(_args "${_tool} -target ${QUAYMARK_ZIG_TARGET} -idirafter \"${_zig_wrappers}/include\"")
  endif()
  set(_wrapper "${_zig_wrappers}/zig-${_tool}")
  if(NOT EXISTS "${_wrapper}")
    file(WRITE "${_wrapper}.tmp" "#!/bin/sh\nexec \"${QUAYMARK_ZIG}\" ${_args} \"$@\"\n")
    file(CHMOD "${_wrapper}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(RENAME "${_wrapper}.tmp" "${_wrapper}")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${_zig_wrappers}/zig-cc")
set(CMAKE_CXX_COMPILER "${_zig_wrappers}/zig-c++")
set(CMAKE_AR "${_zig_wrappers}/zig-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_zig_wrappers}/zig-ranlib" CACHE FILEPATH "")
# The modules link LLVM's C++ runtime and unwinder statically; glibc ends threads through
# libgcc_s, and both must meet one unwinder (runtime/system_unwinder.cpp).
set(QUAYMARK_SYSTEM_UNWINDER ON CACHE BOOL "" FORCE)
