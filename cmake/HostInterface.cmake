# The host interface definitions: widl turns translator/idl's one IDL file into
# the C++ header, the identifier definitions and the type library, all in
# ${TLY_GENERATED_DIR}. tly_host_interface carries the identifiers and the
# header's include path to the translator and to the host simulator.
find_program(TLY_WIDL i686-w64-mingw32-widl REQUIRED)
find_program(TLY_PYTHON python3 REQUIRED)
set(TLY_WINE_IDL_DIR /usr/include/wine/wine/windows)             # oaidl.idl and friends
set(TLY_WINE_TLB_DIR /usr/lib/i386-linux-gnu/wine/i386-windows)  # stdole2.tlb

set(TLY_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(TLY_IDL ${CMAKE_SOURCE_DIR}/translator/idl/TallyportAccessControl.idl)
set(TLY_IDL_HEADER ${TLY_GENERATED_DIR}/TallyportAccessControl.h)
set(TLY_IDL_IDS ${TLY_GENERATED_DIR}/TallyportAccessControl_i.c)
set(TLY_TYPELIB ${TLY_GENERATED_DIR}/TallyportAccessControl.tlb)
file(MAKE_DIRECTORY ${TLY_GENERATED_DIR})

add_custom_command(
  OUTPUT ${TLY_IDL_HEADER} ${TLY_IDL_IDS} ${TLY_TYPELIB}
  COMMAND ${TLY_WIDL} --win32 -I ${TLY_WINE_IDL_DIR} -L ${TLY_WINE_TLB_DIR}
          -h -H ${TLY_IDL_HEADER} -u -U ${TLY_IDL_IDS} -t -T ${TLY_TYPELIB} ${TLY_IDL}
  # widl stamps the library with the time of the build; the DLL must not differ by it.
  COMMAND ${TLY_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/typelib_fixed_date.py ${TLY_TYPELIB}
  DEPENDS ${TLY_IDL} ${CMAKE_CURRENT_LIST_DIR}/typelib_fixed_date.py
  COMMENT "widl: host interface header, identifiers and type library"
  VERBATIM)

add_library(tly_host_interface STATIC ${TLY_IDL_IDS} ${TLY_IDL_HEADER})
target_include_directories(tly_host_interface PUBLIC ${TLY_GENERATED_DIR})
target_link_libraries(tly_host_interface PUBLIC ole32 oleaut32 uuid)
