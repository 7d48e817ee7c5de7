# The product's name, description, publisher and version from product.ini, as CMake
# variables and as the generated header TallyportVersion.h, which the version
# resources (TallyportVersionInfo.rc) and the code include.
set(TLY_PRODUCT_FILE ${CMAKE_SOURCE_DIR}/product.ini)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TLY_PRODUCT_FILE})

function(tly_product_value key out)
  file(STRINGS ${TLY_PRODUCT_FILE} lines REGEX "^${key}[ \t]*=")
  list(LENGTH lines count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "product.ini: expected one line '${key} = ...'")
  endif()
  string(REGEX REPLACE "^${key}[ \t]*=[ \t]*(.*[^ \t])[ \t]*$" "\\1" value "${lines}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

tly_product_value(name TLY_PRODUCT_NAME)
tly_product_value(description TLY_PRODUCT_DESCRIPTION)
tly_product_value(publisher TLY_PRODUCT_PUBLISHER)
tly_product_value(version TLY_PRODUCT_VERSION)
if(NOT TLY_PRODUCT_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "product.ini: version must be MAJOR.MINOR.PATCH, not '${TLY_PRODUCT_VERSION}'")
endif()
set(TLY_VERSION_MAJOR ${CMAKE_MATCH_1})
set(TLY_VERSION_MINOR ${CMAKE_MATCH_2})
set(TLY_VERSION_PATCH ${CMAKE_MATCH_3})

configure_file(${CMAKE_CURRENT_LIST_DIR}/TallyportVersion.h.in ${TLY_GENERATED_DIR}/TallyportVersion.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/TallyportVersionInfo.rc.in ${TLY_GENERATED_DIR}/TallyportVersionInfo.rc @ONLY)
