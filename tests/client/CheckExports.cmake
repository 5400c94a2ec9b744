# Fails unless LIBRARY defines exactly the eleven DRAL_ functions in its dynamic symbol table.
set(expected
  DRAL_ClaimAddress DRAL_ConfigFilter DRAL_Connect DRAL_Disconnect DRAL_GetAdapterStatus
  DRAL_GetAdapterVersion DRAL_GetMessage DRAL_GetStatus DRAL_PutMessage
  DRAL_RegAddressLostCallback DRAL_ReleaseAddress)
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found)
foreach(line ${lines})
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
