# The build's version, carried by every deliverable's version resource and printed by the host.
set(HOLLIN_VERSION_MAJOR 17)
set(HOLLIN_VERSION_MINOR 6)
set(HOLLIN_VERSION_BUILD 140)
set(HOLLIN_VERSION_REVISION 0)
set(HOLLIN_VERSION_TEXT
  "${HOLLIN_VERSION_MAJOR}.${HOLLIN_VERSION_MINOR}.${HOLLIN_VERSION_BUILD}.${HOLLIN_VERSION_REVISION}")

set(HOLLIN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/HollinVersion.h.in ${HOLLIN_GENERATED_DIR}/HollinVersion.h @ONLY)

# hollin_add_version_resource(<target> <file description> <original file name>)
# Gives <target> a VERSIONINFO resource with the build's version.
function(hollin_add_version_resource target description filename)
  set(HOLLIN_FILE_DESCRIPTION "${description}")
  set(HOLLIN_ORIGINAL_FILENAME "${filename}")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(HOLLIN_FILE_TYPE VFT_APP)
  else()
    set(HOLLIN_FILE_TYPE VFT_DLL)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${HOLLIN_ROOT}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
