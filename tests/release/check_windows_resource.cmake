# Compiles the Windows resource file with the MinGW resource compiler, reads the
# result back as text, and checks that it carries the project version and the
# icon group the window system shows.
#   cmake -DWINDRES=... -DMINGW_INCLUDE=... -DRC=... -DWORK_DIR=... -DVERSION=X.Y.Z -P this-file

string(REPLACE "." ", " version_numbers "${VERSION}")
set(compiled ${WORK_DIR}/talvex-updater.res)
execute_process(
  COMMAND ${WINDRES} --preprocessor=cpp --preprocessor-arg=-E --preprocessor-arg=-xc-header
          --preprocessor-arg=-DRC_INVOKED --preprocessor-arg=-D_WIN32 -I ${MINGW_INCLUDE}
          -O res -i ${RC} -o ${compiled}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the resource file does not compile")
endif()
execute_process(COMMAND ${WINDRES} -i ${compiled} -O rc OUTPUT_VARIABLE text RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the compiled resources cannot be read back")
endif()

foreach(expected
    "Name: \"IDI_ICON1\""
    "FILEVERSION ${version_numbers}, 0"
    "PRODUCTVERSION ${version_numbers}, 0"
    "VALUE \"FileVersion\", \"${VERSION}\""
    "VALUE \"ProductVersion\", \"${VERSION}\"")
  string(FIND "${text}" "${expected}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the compiled resources lack: ${expected}\n${text}")
  endif()
endforeach()
