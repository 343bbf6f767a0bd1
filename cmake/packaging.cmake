# The packages people install, made by CPack from the install rules:
#   Linux:   tessavo_<version>_amd64.deb    cpack --preset linux
#   Windows: Tessavo-<version>-win64.zip    cpack --preset windows
# Both land in <build>/packages. The project's version is the only version
# number: it names the packages and goes into the man page, the changelog,
# the AppStream release and the Windows version resource.

set(TESSAVO_MAKER "Zelvane technology")
set(TESSAVO_HOMEPAGE "http://www.zelvane.example")
set(TESSAVO_MAINTAINER "${TESSAVO_MAKER} <support@zelvane.example>")
set(TESSAVO_APPSTREAM_ID "example.zelvane.tessavo")

set(_src ${PROJECT_SOURCE_DIR}/packaging)
set(_out ${CMAKE_BINARY_DIR}/packaging)

# A gzip file that stays the same from build to build (no name, no time).
function(_tessavo_gzip in out)
  execute_process(COMMAND gzip -9nc ${in} OUTPUT_FILE ${out} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${in} failed")
  endif()
endfunction()

set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${TESSAVO_MAKER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial terminal for Bluetooth modules with AT commands")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # Windows users read text files in Notepad: CR LF line ends.
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${_out}/LICENSE @ONLY NEWLINE_STYLE CRLF)
  configure_file(${_src}/README.txt.in ${_out}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${_out}/LICENSE ${_out}/README.txt DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Tessavo)
  set(CPACK_PACKAGE_FILE_NAME Tessavo-${PROJECT_VERSION}-win64)
else()
  configure_file(${_src}/tessavo.1.in ${_out}/tessavo.1 @ONLY)
  _tessavo_gzip(${_out}/tessavo.1 ${_out}/tessavo.1.gz)
  configure_file(${_src}/changelog.in ${_out}/changelog @ONLY)
  _tessavo_gzip(${_out}/changelog ${_out}/changelog.gz)
  configure_file(${_src}/metainfo.xml.in ${_out}/${TESSAVO_APPSTREAM_ID}.metainfo.xml @ONLY)

  # Debian's copyright file carries LICENSE's terms in its machine-readable form.
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE _license)
  string(FIND "${_license}" "Permission is hereby granted" _start)
  string(SUBSTRING "${_license}" ${_start} -1 _terms)
  string(STRIP "${_terms}" _terms)
  string(REPLACE "\n\n" "\n.\n" _terms "${_terms}")
  string(REPLACE "\n" "\n " _terms "${_terms}")
  file(WRITE ${_out}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: Tessavo\n"
       "Upstream-Contact: ${TESSAVO_MAINTAINER}\n"
       "Source: ${TESSAVO_HOMEPAGE}\n"
       "\n"
       "Files: *\n"
       "Copyright: 2026 ${TESSAVO_MAKER}\n"
       "License: Expat\n"
       " ${_terms}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)

  install(FILES ${_out}/tessavo.1.gz DESTINATION share/man/man1)
  install(FILES ${_out}/${TESSAVO_APPSTREAM_ID}.metainfo.xml DESTINATION share/metainfo)
  install(FILES ${_out}/copyright ${_out}/changelog.gz DESTINATION share/doc/tessavo)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME tessavo)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSAVO_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TESSAVO_HOMEPAGE}")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Tessavo opens one window for trying out and configuring serial Bluetooth\n"
      "modules with AT commands: pick a port, set baud rate, parity and stop bits,\n"
      "send text or hexadecimal bytes once or at an interval, and watch the replies\n"
      "as text or hex, with byte counters and ready-made AT command lists.")
  string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
endif()

include(CPack)
