# Installs the build into INSTALL_DIR and fails unless exactly the four deliverables are there.
file(REMOVE_RECURSE ${INSTALL_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${INSTALL_DIR}
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed RELATIVE ${INSTALL_DIR} ${INSTALL_DIR}/*)
list(SORT installed)
set(expected Fennick.dll Hollin.exe Quillet.dll Tamsel.dll)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed: ${installed}; expected: ${expected}")
endif()
file(REMOVE_RECURSE ${INSTALL_DIR})
