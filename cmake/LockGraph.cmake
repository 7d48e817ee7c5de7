# The lock graph, checked beside the tests: clang's thread-safety
# analysis (platform/ThreadSafety.h, platform/Mutex.h) over every source of the
# product library, the DLL's own module and the two tools built from the same
# code (host-sim, tallyport-check), compiled for the product's target against
# the same MinGW headers and generated headers, with no output (-fsyntax-only).
# A thread-safety warning is an error, so it fails the lane and make test.
#
# Run by the native lane's slice of make test (tools/fuzz-native/run-slice.sh),
# not by every build: its clang work then overlaps the Wine tests, which
# mostly wait, instead of lengthening the build. clang's dependency files make
# it incremental (a source is analysed again only when it or a header it
# includes changes). The heavy headers (Windows, WinHTTP, nlohmann/json, the
# standard library) are parsed once, into a clang precompiled header that
# every source includes first.
#
# tly_lock_graph(TARGET...) analyses the C++ sources of the targets; the
# target lock_graph runs it.

find_program(TLY_LOCK_GRAPH_CLANG NAMES clang++-14 clang++ REQUIRED)

set(TLY_LOCK_GRAPH_DIR ${CMAKE_BINARY_DIR}/lock-graph)

# The MinGW C++ library the product is built with, not the one clang would choose.
set(tly_lock_graph_libstdcxx)
foreach(dir IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
  if(dir MATCHES "/include/c\\+\\+")
    list(APPEND tly_lock_graph_libstdcxx -isystem ${dir})
  endif()
endforeach()
if(NOT tly_lock_graph_libstdcxx)
  message(FATAL_ERROR "lock graph: no C++ library headers among the compiler's include directories")
endif()

get_directory_property(tly_lock_graph_definitions COMPILE_DEFINITIONS)
list(TRANSFORM tly_lock_graph_definitions PREPEND -D)

set(TLY_LOCK_GRAPH_FLAGS
  --target=i686-w64-mingw32 -std=c++20 -nostdinc++ ${tly_lock_graph_libstdcxx}
  ${tly_lock_graph_definitions}
  -I${CMAKE_SOURCE_DIR} -I${TLY_GENERATED_DIR} -isystem ${NLOHMANN_JSON_INCLUDE_DIR}
  # -negative is left out: it would have every caller of every locking method
  # prove the lock is not held, across components.
  -Wthread-safety -Wthread-safety-beta -Wthread-safety-verbose
  -Werror=thread-safety -Werror=thread-safety-beta)

# The precompiled header: what nearly every source includes. Its templates are
# instantiated once, in the header (-fpch-instantiate-templates): otherwise
# every source pays for them again, a second each.
set(TLY_LOCK_GRAPH_HEADER ${TLY_LOCK_GRAPH_DIR}/common.h)
set(TLY_LOCK_GRAPH_PCH ${TLY_LOCK_GRAPH_DIR}/common.pch)
set(tly_lock_graph_includes)
foreach(header IN ITEMS ${TLY_COMMON_HEADERS} <algorithm> <deque> <optional> <set> <string_view> <thread>)
  string(APPEND tly_lock_graph_includes "#include ${header}\n")
endforeach()
file(CONFIGURE OUTPUT ${TLY_LOCK_GRAPH_HEADER} CONTENT "${tly_lock_graph_includes}")
add_custom_command(
  OUTPUT ${TLY_LOCK_GRAPH_PCH}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TLY_LOCK_GRAPH_DIR}
  COMMAND ${TLY_LOCK_GRAPH_CLANG} ${TLY_LOCK_GRAPH_FLAGS} -fpch-instantiate-templates -x c++-header ${TLY_LOCK_GRAPH_HEADER}
          -o ${TLY_LOCK_GRAPH_PCH} -MD -MF ${TLY_LOCK_GRAPH_PCH}.d -MT ${TLY_LOCK_GRAPH_PCH}
  DEPENDS ${TLY_LOCK_GRAPH_HEADER}
  DEPFILE ${TLY_LOCK_GRAPH_PCH}.d
  COMMENT "lock graph: precompiled header"
  VERBATIM)

set(TLY_LOCK_GRAPH_STAMPS)
function(tly_lock_graph)
  foreach(target IN LISTS ARGN)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    foreach(source IN LISTS sources)
      if(NOT source MATCHES "\\.cpp$")
        continue()
      endif()
      get_filename_component(source ${source} ABSOLUTE BASE_DIR ${source_dir})
      file(RELATIVE_PATH name ${CMAKE_SOURCE_DIR} ${source})
      set(stamp ${TLY_LOCK_GRAPH_DIR}/${name}.checked)
      get_filename_component(stamp_dir ${stamp} DIRECTORY)
      add_custom_command(
        OUTPUT ${stamp}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${stamp_dir}
        COMMAND ${TLY_LOCK_GRAPH_CLANG} ${TLY_LOCK_GRAPH_FLAGS} -include-pch ${TLY_LOCK_GRAPH_PCH} -fsyntax-only
                -MD -MF ${stamp}.d -MT ${stamp} ${source}
        COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
        # The generated headers a source may include (the IDL's come with the build).
        DEPENDS ${source} ${TLY_LOCK_GRAPH_PCH} ${TLY_EVENT_MESSAGES_HEADER}
        DEPFILE ${stamp}.d
        COMMENT "lock graph: ${name}"
        VERBATIM)
      list(APPEND TLY_LOCK_GRAPH_STAMPS ${stamp})
    endforeach()
  endforeach()
  set(TLY_LOCK_GRAPH_STAMPS ${TLY_LOCK_GRAPH_STAMPS} PARENT_SCOPE)
endfunction()
