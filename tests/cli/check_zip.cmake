# Packs the Windows build with CPack and checks that the ZIP holds the kit:
# the DLL, its headers, the .def file for an MSVC import library, qzftdi.exe.
#   -DBUILD=<build dir> -DCPACK=<cpack program>
execute_process(COMMAND ${CPACK} -G ZIP --config ${BUILD}/CPackConfig.cmake -B ${BUILD}/package
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${out}${err}")
endif()
file(GLOB zips ${BUILD}/package/QZ_FTDI-*-win64.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one ZIP in ${BUILD}/package, found: ${zips}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zips} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
foreach(entry bin/QZ_FTDIx64.dll bin/qzftdi.exe include/QZ_FTDI.h include/qzsim/qzsim.h
              lib/QZ_FTDIx64.def lib/cmake/QZ_FTDI/QZ_FTDIConfig.cmake)
  if(NOT listing MATCHES "/${entry}\n")
    message(FATAL_ERROR "${zips} lacks ${entry}:\n${listing}")
  endif()
endforeach()
message(STATUS "${zips}:\n${listing}")
