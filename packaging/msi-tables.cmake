# Adds to the MSI that wixl made what wixl 0.101 cannot write from gantrix.wxs:
#
#   - the system PATH entry: an Environment table row ("=-*PATH": set on install, removed on
#     uninstall, system-wide; "[~];" appends) for component Tool, the one that installs
#     gantrix.exe, and the two standard actions that process it;
#   - "the same version replaces the one installed": wixl drops IncludeMaximum, so the
#     Upgrade row of WIX_UPGRADE_DETECTED gets msidbUpgradeAttributesVersionMaxInclusive here.
#     Without it a rebuilt package of the same version would install beside the old one.
#
#   cmake -DMSIBUILD=... -DMSIINFO=... -DMSI=... -DWORK=folder -P msi-tables.cmake
foreach(var MSIBUILD MSIINFO MSI WORK)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "msi-tables.cmake: ${var} is not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command} failed:\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/Environment.idt
  "Environment\tName\tValue\tComponent_\n"
  "s72\tl255\tL255\ts72\n"
  "Environment\tEnvironment\n"
  "SystemPath\t=-*PATH\t[~];[INSTALLDIR]\tTool\n")
run(${MSIBUILD} ${MSI} -i ${WORK}/Environment.idt)
set(insert "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES")
run(${MSIBUILD} ${MSI} -q "${insert} ('RemoveEnvironmentStrings', 3300)"
  -q "${insert} ('WriteEnvironmentStrings', 5200)")

# The table as text, one row a line, columns split by tabs; Attributes is the fifth column.
run(${MSIINFO} export ${MSI} Upgrade)
string(REPLACE "\r" "" upgrade "${out}")
string(REGEX REPLACE "([^\n]*\t[^\t\n]*\t[^\t\n]*\t[^\t\n]*\t)256(\t[^\t\n]*\tWIX_UPGRADE_DETECTED)"
  "\\1768\\2" patched "${upgrade}")
if(patched STREQUAL upgrade)
  message(FATAL_ERROR
    "no WIX_UPGRADE_DETECTED row with attributes 256 in the Upgrade table of ${MSI}:\n${upgrade}")
endif()
file(WRITE ${WORK}/Upgrade.idt "${patched}")
run(${MSIBUILD} ${MSI} -i ${WORK}/Upgrade.idt)
