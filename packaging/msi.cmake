# Builds the notifier's MSI from vestibra.wxs with wixl.
# As CPack's External generator script (the windows preset's package target)
# it packs the staged vestibra.exe into vestibra-<version>-win64.msi beside the
# zip. Run directly, it builds one MSI from a given program and version:
#   cmake -DPROGRAM=vestibra.exe -DVERSION=1.0.0 -DOUTPUT=x.msi -P msi.cmake
cmake_minimum_required(VERSION 3.25)

find_program(WIXL wixl)
if(NOT WIXL)
  message(FATAL_ERROR "wixl is missing (Debian package wixl): it builds the MSI")
endif()

if(DEFINED CPACK_TEMPORARY_DIRECTORY)
  set(PROGRAM ${CPACK_TEMPORARY_DIRECTORY}/vestibra.exe)
  set(VERSION ${CPACK_PACKAGE_VERSION})
  set(OUTPUT ${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi)
endif()
foreach(required PROGRAM VERSION OUTPUT)
  if(NOT ${required})
    message(FATAL_ERROR "msi.cmake needs -D${required}=...")
  endif()
endforeach()

# wixl finds a File's Source relative to its working directory, not by an
# absolute path: run it where the program is.
get_filename_component(program_dir ${PROGRAM} DIRECTORY)
get_filename_component(program_name ${PROGRAM} NAME)
get_filename_component(OUTPUT ${OUTPUT} ABSOLUTE)
execute_process(
  COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D ProgramFile=${program_name} -o ${OUTPUT}
          ${CMAKE_CURRENT_LIST_DIR}/vestibra.wxs
  WORKING_DIRECTORY ${program_dir}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS ${OUTPUT})
  message(FATAL_ERROR "wixl could not build ${OUTPUT}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${OUTPUT})
