# Delay-load import libraries for the system DLLs the programs import that are
# not among Windows' "known DLLs": imported the ordinary way, such a DLL is
# looked up in the program's own folder before the system folder. Delay-loaded,
# it is loaded at its first call through platform/SystemLibraries.cpp, from
# the system folder only. tly_delay_import(NAME) makes the library,
# tly_link_delay_imports(TARGET NAME...) links a target with it.
find_program(TLY_DLLTOOL NAMES i686-w64-mingw32-dlltool REQUIRED)
find_program(TLY_NM NAMES i686-w64-mingw32-nm REQUIRED)
find_program(TLY_ASSEMBLER NAMES i686-w64-mingw32-as REQUIRED)
set(TLY_DELAY_IMPORT_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/delay_import_library.py)

function(tly_delay_import name)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=lib${name}.a
                  OUTPUT_VARIABLE import_library OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${import_library}")
    message(FATAL_ERROR "no import library lib${name}.a for delay-loading ${name}.dll")
  endif()
  set(output ${CMAKE_BINARY_DIR}/delay-imports/lib${name}_delay.a)
  set(keep ${CMAKE_BINARY_DIR}/delay-imports/lib${name}_delay_keep.o)
  add_custom_command(
    OUTPUT ${output} ${keep}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay-imports
    COMMAND python3 ${TLY_DELAY_IMPORT_SCRIPT} ${TLY_DLLTOOL} ${TLY_NM} ${TLY_ASSEMBLER} ${import_library} ${name}.dll
            ${output}
    DEPENDS ${TLY_DELAY_IMPORT_SCRIPT} ${import_library}
    COMMENT "dlltool: delay-load import library of ${name}.dll"
    VERBATIM)
  add_custom_target(tly_delay_${name}_library DEPENDS ${output} ${keep})
endfunction()

# Links target with the delay-loaded NAMEs: each one's keeping object, then its
# library, placed where the target's own libraries are (after tly_core, before
# the ordinary import libraries tly_core brings).
function(tly_link_delay_imports target)
  foreach(name IN LISTS ARGN)
    target_link_libraries(${target} PRIVATE ${CMAKE_BINARY_DIR}/delay-imports/lib${name}_delay_keep.o
                                            ${CMAKE_BINARY_DIR}/delay-imports/lib${name}_delay.a)
    add_dependencies(${target} tly_delay_${name}_library)
  endforeach()
endfunction()

foreach(name winhttp crypt32 version)
  tly_delay_import(${name})
endforeach()
