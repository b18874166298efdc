# Writes the 32-bit type library with the 32-bit generator in a scratch folder and compares it
# with EXPECTED byte for byte.
#   cmake -DRUN=wine-run.sh -DPREFIX=... -DGENERATOR=mktypelib.exe -DEXPECTED=tarvel.tlb -P same_typelib.cmake
set(scratch ${CMAKE_CURRENT_BINARY_DIR}/same-typelib)
file(REMOVE_RECURSE ${scratch})
file(MAKE_DIRECTORY ${scratch})
execute_process(COMMAND ${RUN} win32 ${PREFIX} ${GENERATOR} win32 tarvel32.tlb
                WORKING_DIRECTORY ${scratch} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the 32-bit mktypelib failed: ${rc}")
endif()
file(SHA256 ${scratch}/tarvel32.tlb got)
file(SHA256 ${EXPECTED} want)
if(NOT got STREQUAL want)
  message(FATAL_ERROR "the 32-bit generator wrote another library than the build's ${EXPECTED}")
endif()
message(STATUS "same bytes: ${want}")
