# How the build stays small and quick.
#
# Only the DLL ships with debug information, and not inside it: after the link
# its debug sections move into <dll>.debug beside it, the DLL is stripped, and
# its .gnu_debuglink section names that file, so gdb and addr2line find it.
# The test programs and tools link the same library but carry no debug
# information: their own sources are compiled without it and the linker drops
# the library's (a test program with it is over 100 MB).
#
# The headers almost every source includes (Windows, WinHTTP, nlohmann/json,
# GoogleTest for the tests) are parsed once per target, as precompiled headers.

# Only the release build (RelWithDebInfo) splits; a Debug build keeps its
# debug information in the DLL, and Release has none to split off.
if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
  set(TLY_SPLIT_DEBUG_INFO ON)
else()
  set(TLY_SPLIT_DEBUG_INFO OFF)
endif()

function(tly_split_debug_info target)
  if(NOT TLY_SPLIT_DEBUG_INFO)
    return()
  endif()
  # objcopy and strip stamp the PE header with the time of day unless told a
  # date; the epoch keeps the same sources giving the same bytes.
  set(fixed_date ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${fixed_date} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${fixed_date} ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:${target}>
    COMMAND ${fixed_date} ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debug information of ${target} into $<TARGET_FILE_NAME:${target}>.debug"
    VERBATIM)
endfunction()

function(tly_without_debug_info)
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -g0)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      target_link_options(${target} PRIVATE -Wl,--strip-debug)
    endif()
  endforeach()
endfunction()

set(TLY_COMMON_HEADERS
  <windows.h> <winhttp.h> <nlohmann/json.hpp>
  <atomic> <cstdint> <functional> <map> <memory> <mutex> <string> <vector>)

function(tly_precompile_common_headers target)
  target_precompile_headers(${target} PRIVATE ${TLY_COMMON_HEADERS} ${ARGN})
endfunction()

# ccache caches the compilations that use a precompiled header only when told
# to ignore the header's macros and time stamps; the launcher says so.
if(CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache")
  set(CMAKE_CXX_COMPILER_LAUNCHER
    env CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
    ${CMAKE_CXX_COMPILER_LAUNCHER})
endif()
