# Install rules and packages. Included at the end of the top-level CMakeLists.txt, after every
# target is defined.
#
#   Linux:   cpack -G DEB   ->  gantrix_<version>_<arch>.deb       (component tool: tool, man page,
#                               gantrix-board_<version>_<arch>.deb  bash completion; component board)
#   Windows: cpack -G ZIP   ->  gantrix-<version>-win64.zip          (gantrix.exe, README-windows.txt,
#                                                                     PowerShell completion)
#            target msi     ->  gantrix-<version>-win64.msi          (the same files into Program
#                                                                     Files\gantrix, on the PATH)
#
# Windows: GANTRIX_SIGN_CERT and GANTRIX_SIGN_KEY (and GANTRIX_SIGN_PASS_FILE for a key with a
# password) have gantrix.exe and the completion script signed as they are installed, so in the
# zip and in the MSI, and the MSI itself. Without them nothing is signed. An osslsigncode that
# cannot sign PowerShell scripts (before 2.8, as Debian 12's own 2.5) signs the exe and the MSI;
# the script then ships unsigned, with a warning at configure time.
include(GNUInstallDirs)

set(GANTRIX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

if(WIN32)
  # Stripping writes the time of day into the exe's header. With the time the exe was linked
  # instead, the zip and the MSI ship the same bytes.
  install(CODE "file(TIMESTAMP \"$<TARGET_FILE:gantrix>\" linked \"%s\" UTC)
    set(ENV{SOURCE_DATE_EPOCH} \${linked})" COMPONENT tool)
  # A zip for people who unpack it into a folder and run the exe from there: no bin/ folder.
  install(TARGETS gantrix RUNTIME DESTINATION . COMPONENT tool)
  # Windows line ends, so that every editor shows the README as lines.
  configure_file(${GANTRIX_PACKAGING_DIR}/README-windows.txt
    ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README-windows.txt DESTINATION . COMPONENT tool)
  configure_file(${GANTRIX_PACKAGING_DIR}/gantrix-completion.ps1
    ${CMAKE_CURRENT_BINARY_DIR}/gantrix-completion.ps1 @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gantrix-completion.ps1 DESTINATION . COMPONENT tool)
else()
  install(TARGETS gantrix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  install(FILES ${GANTRIX_PACKAGING_DIR}/gantrix.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
  install(FILES ${GANTRIX_PACKAGING_DIR}/gantrix.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    RENAME gantrix COMPONENT tool)
  # The simulated board is a POSIX program; it ships in a package of its own.
  if(TARGET gantrix-board)
    install(TARGETS gantrix-board RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT board)
  endif()
endif()

set(CPACK_PACKAGE_NAME gantrix)
set(CPACK_PACKAGE_VENDOR "gantrix developers")
set(CPACK_PACKAGE_CONTACT "gantrix developers <gantrix@example.org>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://gantrix.example.org/")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "drive a vending machine's controller board over a serial line")
  # One archive with everything that was installed (there is no board on Windows).
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)

  set(GANTRIX_SIGN_CERT "" CACHE FILEPATH
    "Code-signing certificate (PEM or DER, chain included); empty: nothing is signed")
  set(GANTRIX_SIGN_KEY "" CACHE FILEPATH "Private key of GANTRIX_SIGN_CERT (PEM or DER)")
  set(GANTRIX_SIGN_PASS_FILE "" CACHE FILEPATH
    "File that holds the password of GANTRIX_SIGN_KEY; empty: the key has none")
  set(gantrix_sign "")
  if(GANTRIX_SIGN_CERT OR GANTRIX_SIGN_KEY)
    foreach(var GANTRIX_SIGN_CERT GANTRIX_SIGN_KEY)
      if(NOT EXISTS "${${var}}")
        message(FATAL_ERROR "${var} is '${${var}}', not a file (signing needs both "
          "GANTRIX_SIGN_CERT and GANTRIX_SIGN_KEY)")
      endif()
    endforeach()
    if(GANTRIX_SIGN_PASS_FILE AND NOT EXISTS "${GANTRIX_SIGN_PASS_FILE}")
      message(FATAL_ERROR "GANTRIX_SIGN_PASS_FILE is '${GANTRIX_SIGN_PASS_FILE}', not a file")
    endif()
    find_program(GANTRIX_OSSLSIGNCODE osslsigncode)
    if(NOT GANTRIX_OSSLSIGNCODE)
      message(FATAL_ERROR "GANTRIX_SIGN_CERT is set, but osslsigncode is not found "
        "(Debian: apt install osslsigncode)")
    endif()
    set(gantrix_sign ${CMAKE_COMMAND} -DOSSLSIGNCODE=${GANTRIX_OSSLSIGNCODE}
      -DCERT=${GANTRIX_SIGN_CERT} -DKEY=${GANTRIX_SIGN_KEY} -DPASS_FILE=${GANTRIX_SIGN_PASS_FILE}
      -DDESCRIPTION=${CPACK_PACKAGE_NAME} -DURL=${CPACK_PACKAGE_HOMEPAGE_URL})
    # Asked about a script it cannot read, osslsigncode says so whatever the command; one that
    # can reads this one and finds no signature.
    set(probe ${CMAKE_CURRENT_BINARY_DIR}/sign-probe.ps1)
    file(WRITE ${probe} "Write-Output probe\r\n")
    execute_process(COMMAND ${GANTRIX_OSSLSIGNCODE} extract-signature -in ${probe} -out ${probe}.sig
      OUTPUT_VARIABLE probe_out ERROR_VARIABLE probe_out)
    file(REMOVE ${probe} ${probe}.sig)
    if(probe_out MATCHES "Unrecognized file type")
      set(GANTRIX_SIGN_SCRIPT OFF CACHE INTERNAL "osslsigncode signs the completion script")
      set(signed_files gantrix.exe)
      message(WARNING "${GANTRIX_OSSLSIGNCODE} cannot sign PowerShell scripts (osslsigncode 2.8 "
        "and later can): gantrix-completion.ps1 ships unsigned. Signing gantrix.exe and the MSI "
        "with ${GANTRIX_SIGN_CERT}")
    else()
      set(GANTRIX_SIGN_SCRIPT ON CACHE INTERNAL "osslsigncode signs the completion script")
      set(signed_files gantrix.exe gantrix-completion.ps1)
      message(STATUS "Signing gantrix.exe, the completion script and the MSI with "
        "${GANTRIX_SIGN_CERT}")
    endif()
    # Install rules run in order: these come after the exe has been stripped (which would break
    # its signature) and the script has been given CRLF line ends, so what ships is what was
    # signed.
    list(JOIN gantrix_sign "\" \"" sign_args)
    foreach(file ${signed_files})
      install(CODE "execute_process(COMMAND \"${sign_args}\"
          \"-DFILE=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\"
          -P \"${GANTRIX_PACKAGING_DIR}/sign.cmake\" COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT tool)
    endforeach()
  endif()

  # The MSI holds what the tool component installs, as the zip does; "cmake --install --strip"
  # puts that into a folder of its own for wixl, which takes Source paths relative to where it
  # runs.
  set(GANTRIX_MSI
    ${CMAKE_CURRENT_BINARY_DIR}/${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}.msi)
  find_program(GANTRIX_WIXL wixl)
  find_program(GANTRIX_MSIBUILD msibuild)
  find_program(GANTRIX_MSIINFO msiinfo)
  if(GANTRIX_WIXL AND GANTRIX_MSIBUILD AND GANTRIX_MSIINFO)
    set(sign_msi "")
    if(gantrix_sign)
      set(sign_msi COMMAND ${gantrix_sign} -DFILE=${GANTRIX_MSI}.part
        -P ${GANTRIX_PACKAGING_DIR}/sign.cmake)
    endif()
    add_custom_target(msi
      COMMAND ${CMAKE_COMMAND} -E rm -rf msi-stage msi-tables ${GANTRIX_MSI} ${GANTRIX_MSI}.part
      COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR}
        --prefix ${CMAKE_CURRENT_BINARY_DIR}/msi-stage --component tool --strip
      COMMAND ${GANTRIX_WIXL} --arch x64 -o ${GANTRIX_MSI}.part
        -D Version=${PROJECT_VERSION} -D StageDir=msi-stage
        -D Manufacturer=${CPACK_PACKAGE_VENDOR} -D Homepage=${CPACK_PACKAGE_HOMEPAGE_URL}
        -D "Summary=${CPACK_PACKAGE_DESCRIPTION_SUMMARY}"
        ${GANTRIX_PACKAGING_DIR}/gantrix.wxs
      COMMAND ${CMAKE_COMMAND} -DMSIBUILD=${GANTRIX_MSIBUILD} -DMSIINFO=${GANTRIX_MSIINFO}
        -DMSI=${GANTRIX_MSI}.part -DWORK=msi-tables -P ${GANTRIX_PACKAGING_DIR}/msi-tables.cmake
      ${sign_msi}
      COMMAND ${CMAKE_COMMAND} -E rename ${GANTRIX_MSI}.part ${GANTRIX_MSI}
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      COMMENT "Building ${GANTRIX_MSI}"
      VERBATIM)
    add_dependencies(msi gantrix)
  else()
    add_custom_target(msi
      COMMAND ${CMAKE_COMMAND} -E echo
        "msi: no MSI without wixl, msibuild and msiinfo (Debian: apt install wixl msitools)"
      COMMAND ${CMAKE_COMMAND} -E false
      VERBATIM)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME gantrix)
  # The first line is the package's summary (the generator would otherwise put one summary
  # above both packages' descriptions).
  set(CPACK_DEBIAN_TOOL_DESCRIPTION
    "drive a vending machine's controller board over a serial line
gantrix talks to the controller board of a vending machine over a serial line: ping, id,
status, home, move, calibrate, precalibrate, vend, recover and firmware upgrade, with a debug
trace of the board's own text. Includes the manual page and bash completion.")
  set(CPACK_DEBIAN_BOARD_PACKAGE_NAME gantrix-board)
  set(CPACK_DEBIAN_BOARD_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_BOARD_DESCRIPTION
    "simulated controller board for practice with gantrix
gantrix-board plays a vending machine's controller board on a pseudo-terminal, so that
gantrix can be tried and tested without hardware. It prints the device path for gantrix on
its first line.")
  set(CPACK_DEBIAN_BOARD_PACKAGE_SUGGESTS gantrix)
endif()

include(CPack)

cpack_add_component(tool DISPLAY_NAME "gantrix" DESCRIPTION "The console tool")
if(TARGET gantrix-board AND NOT WIN32)
  cpack_add_component(board DISPLAY_NAME "gantrix-board"
    DESCRIPTION "Simulated controller board for practice and tests")
endif()

# The manual page and the completion are checked with every test run, against the tool's own
# usage text. (packaging/check.sh also checks the built packages.)
if(GANTRIX_TESTS AND NOT WIN32)
  find_program(GANTRIX_MAN man)
  find_program(GANTRIX_BASH bash)
  if(GANTRIX_MAN AND GANTRIX_BASH)
    add_test(NAME packaging.man
      COMMAND ${GANTRIX_BASH} ${GANTRIX_PACKAGING_DIR}/check-man.sh
        ${GANTRIX_PACKAGING_DIR}/gantrix.1 $<TARGET_FILE:gantrix>)
  else()
    message(STATUS "man or bash not found: the manual page is not checked")
  endif()
  if(GANTRIX_BASH)
    add_test(NAME packaging.completion
      COMMAND ${GANTRIX_BASH} ${GANTRIX_PACKAGING_DIR}/check-completion.sh
        ${GANTRIX_PACKAGING_DIR}/gantrix.bash-completion $<TARGET_FILE:gantrix>)
  endif()
endif()
