# The message table of the translator's Event Log source: windmc compiles
# logging/EventMessages.mc into a header of the event ids (EventMessages.h,
# which the code includes, so it can use no id the file lacks), a resource
# script and its binary, which the DLL's resources take in.

find_program(TLY_WINDMC NAMES i686-w64-mingw32-windmc REQUIRED)

set(TLY_EVENT_MESSAGES ${CMAKE_SOURCE_DIR}/logging/EventMessages.mc)
set(TLY_EVENT_MESSAGES_HEADER ${TLY_GENERATED_DIR}/EventMessages.h)
set(TLY_EVENT_MESSAGES_RC ${TLY_GENERATED_DIR}/EventMessages.rc)
add_custom_command(
  OUTPUT ${TLY_EVENT_MESSAGES_HEADER} ${TLY_EVENT_MESSAGES_RC} ${TLY_GENERATED_DIR}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TLY_GENERATED_DIR}
  COMMAND ${TLY_WINDMC} -h ${TLY_GENERATED_DIR} -r ${TLY_GENERATED_DIR} ${TLY_EVENT_MESSAGES}
  DEPENDS ${TLY_EVENT_MESSAGES}
  COMMENT "Compiling the Event Log message table"
  VERBATIM)
add_custom_target(tly_event_messages DEPENDS ${TLY_EVENT_MESSAGES_HEADER} ${TLY_EVENT_MESSAGES_RC})
