# Builds the notifier's MSI from vestibra.wxs with wixl, then adds with
# msibuild what wixl cannot express: the JScript actions in msi/ that refuse
# a bad SERVICEHOST or SERVICEKEY (exit code 1603, the reason in the log as
# the property REFUSED) and preset SERVICEUSER in settings.conf.
# As CPack's External generator script (the windows preset's package target)
# it packs the staged vestibra.exe into vestibra-<version>-win64.msi beside the
# zip. Run directly, it builds one MSI from a given program and version:
#   cmake -DPROGRAM=vestibra.exe -DVERSION=1.0.0 -DOUTPUT=x.msi -P msi.cmake
cmake_minimum_required(VERSION 3.25)

find_program(WIXL wixl)
find_program(MSIBUILD msibuild)
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "wixl or msibuild is missing (Debian packages wixl and msitools): they build the MSI")
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

# A script's text for the CustomAction table: without its comment lines, quotes doubled for SQL.
function(script_text name out)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/msi/${name} text)
  string(REGEX REPLACE "(^|\n)//[^\n]*" "" text "${text}")
  string(STRIP "${text}" text)
  string(REPLACE "'" "''" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
script_text(check_properties.js check)
script_text(preset_user.js preset)
# Type 37: JScript kept in the table; 19: an error that ends the install.
# The checks come before AppSearch, so only the command line's values are
# checked; the preset comes after InstallFinalize, once the folder exists.
set(action "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES")
set(step "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES")
execute_process(
  COMMAND ${MSIBUILD} ${OUTPUT}
          -q "${action} ('CheckServiceProperties', 37, '', '${check}')"
          -q "${action} ('RefuseServiceProperties', 19, '', 'Vestibra was not installed: [REFUSED].')"
          -q "${action} ('PresetServiceUser', 37, '', '${preset}')"
          -q "${step} ('CheckServiceProperties', 'SERVICEHOST OR SERVICEKEY', 40)"
          -q "${step} ('RefuseServiceProperties', 'REFUSED', 41)"
          -q "${step} ('PresetServiceUser', 'SERVICEUSER AND NOT REMOVE~=\"ALL\"', 6700)"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "msibuild could not add the installer's checks to ${OUTPUT}")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${OUTPUT})
