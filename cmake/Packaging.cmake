# Install rules and packages. `cmake --install` lays out the programs that are
# built, the guides of docs/ with their pictures and (on Linux, from
# docs/man) the manual pages; `cpack` makes of that a Debian package on Linux
# and a ZIP of the Windows programs in the Windows build.

if(WIN32)
  # The ZIP unpacks into one folder: the programs at its top, the guides in
  # docs/ beside them.
  set(VX_INSTALL_BIN .)
  set(VX_INSTALL_DOC docs)
else()
  set(VX_INSTALL_BIN ${CMAKE_INSTALL_BINDIR})
  set(VX_INSTALL_DOC ${CMAKE_INSTALL_DOCDIR})
endif()

foreach(program update packtool patchtool)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${VX_INSTALL_BIN})
  endif()
endforeach()
file(GLOB VX_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${VX_GUIDES} DESTINATION ${VX_INSTALL_DOC})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${VX_INSTALL_DOC}
        FILES_MATCHING PATTERN "*.png")

set(CPACK_PACKAGE_NAME vxupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vxupdate developers")
set(CPACK_PACKAGE_CONTACT
    "vxupdate maintainers <maintainers@users.noreply.c-seed-3062c8d5.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "patch installer for an installed Windows game, and its publisher tools")
# The long description names the tools that are built, one line each.
set(vx_tools)
if(TARGET packtool)
  list(APPEND vx_tools "packtool builds, lists, checks and unpacks pack archives.")
endif()
if(TARGET patchtool)
  list(APPEND vx_tools "patchtool makes, checks and previews a patch from two builds of the game.")
endif()
list(JOIN vx_tools "\n" vx_tools)
set(CPACK_PACKAGE_DESCRIPTION
    "A game publisher ships a patch as one folder: the new files, an update list
(update.lst) that says where they go, and the installer. update, the
installer's Linux build, applies such a patch to a game installation in a
terminal dialogue. For publishers:
${vx_tools}
The guides are in /usr/share/doc/vxupdate.")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vxupdate-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  # vxupdate_<version>_<architecture>.deb, installed below /usr, with the
  # shared libraries it needs found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
endif()
include(CPack)
