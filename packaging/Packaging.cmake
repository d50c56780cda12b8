# Install rules and packages. Included at the end of the top-level CMakeLists.txt, after every
# target is defined.
#
#   Linux:   cpack -G DEB   ->  gantrix_<version>_<arch>.deb       (component tool: tool, man page,
#                               gantrix-board_<version>_<arch>.deb  bash completion; component board)
#   Windows: cpack -G ZIP   ->  gantrix-<version>-win64.zip          (gantrix.exe, README-windows.txt,
#                                                                     PowerShell completion)
include(GNUInstallDirs)

set(GANTRIX_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

if(WIN32)
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
