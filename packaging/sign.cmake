# Signs one file in place with osslsigncode (Authenticode: an exe, an MSI, a PowerShell script).
#
#   cmake -DOSSLSIGNCODE=... -DCERT=... -DKEY=... [-DPASS_FILE=...] [-DDESCRIPTION=...] [-DURL=...]
#         -DFILE=... -P sign.cmake
#
# osslsigncode writes a new file; it replaces FILE only once signing has succeeded, so a failed
# run never leaves a half-written file to be packed. No time stamp is asked for: that needs a
# time-stamping server, and the build does not depend on the network.
foreach(var OSSLSIGNCODE CERT KEY FILE)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "sign.cmake: ${var} is not given")
  endif()
endforeach()

set(args sign -certs ${CERT} -key ${KEY} -h sha256)
if(PASS_FILE)
  list(APPEND args -readpass ${PASS_FILE})
endif()
if(DESCRIPTION)
  list(APPEND args -n ${DESCRIPTION})
endif()
if(URL)
  list(APPEND args -i ${URL})
endif()

set(signed "${FILE}.signing")
file(REMOVE "${signed}")
execute_process(COMMAND ${OSSLSIGNCODE} ${args} -in ${FILE} -out ${signed}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  file(REMOVE "${signed}")
  message(FATAL_ERROR "osslsigncode could not sign ${FILE}:\n${out}")
endif()
file(RENAME "${signed}" "${FILE}")
message(STATUS "Signed: ${FILE}")
