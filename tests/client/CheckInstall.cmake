# Installs the DRAL component into a scratch prefix and builds a C application against it with
# pkg-config, as an application developer would; the application finds the installed library
# without LD_LIBRARY_PATH.
file(REMOVE_RECURSE ${WORK_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix
    --component DRAL
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed")
endif()
foreach(f include/DRAL.h ${LIBDIR}/libDRAL.so ${LIBDIR}/pkgconfig/dral.pc)
  if(NOT EXISTS ${WORK_DIR}/prefix/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
set(ENV{PKG_CONFIG_PATH} ${WORK_DIR}/prefix/${LIBDIR}/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs dral
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know dral")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} -std=c11 -Wall -Wextra -Wpedantic -Werror ${SOURCE} ${flags}
    -o ${WORK_DIR}/app
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the application did not build with: ${flags}")
endif()
execute_process(COMMAND ldd ${WORK_DIR}/app OUTPUT_VARIABLE libs RESULT_VARIABLE rc)
string(REGEX MATCH "libDRAL\\.so => ([^ \t\n]+)" found "${libs}")
set(found_path "${CMAKE_MATCH_1}")
if(found_path)
  file(REAL_PATH "${found_path}" found_path)
endif()
file(REAL_PATH "${WORK_DIR}/prefix/${LIBDIR}/libDRAL.so" installed)
if(NOT rc EQUAL 0 OR NOT found_path STREQUAL installed)
  message(FATAL_ERROR "the application does not find the installed library:\n${libs}")
endif()
