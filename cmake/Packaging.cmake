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
if(NOT WIN32)
  # strip, as dpkg-buildpackage has it done, also drops the compilers' notes
  # (.comment), which no program needs.
  foreach(program update packtool patchtool)
    if(TARGET ${program})
      install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
          execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                                  --remove-section=.note
                                  \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VX_INSTALL_BIN}/$<TARGET_FILE_NAME:${program}>\"
                          COMMAND_ERROR_IS_FATAL ANY)
        endif()")
    endif()
  endforeach()
endif()
file(GLOB VX_GUIDES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${VX_GUIDES} DESTINATION ${VX_INSTALL_DOC})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/screenshots DESTINATION ${VX_INSTALL_DOC}
        FILES_MATCHING PATTERN "*.png")

# The Windows installer in the Debian package, for publishers who make
# patches on Linux: the Update.exe of a Windows build (the package-linux
# preset names the package-windows one). Installed as data, not run here.
set(VX_WINDOWS_INSTALLER "" CACHE FILEPATH
    "Update.exe of a Windows build, installed in share/vxupdate (Linux only)")
if(NOT WIN32 AND VX_WINDOWS_INSTALLER)
  install(FILES ${VX_WINDOWS_INSTALLER} DESTINATION ${CMAKE_INSTALL_DATADIR}/vxupdate)
endif()

# The licence, the change log and (in the ZIP) a short read-me. The Debian
# package has them where Debian keeps them: copyright in the machine-readable
# format, the change log as a Debian changelog, compressed.
set(VX_CONTACT "vxupdate maintainers <maintainers@users.noreply.c-seed-3062c8d5.example>")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE vx_license)
if(WIN32)
  # Text files as Windows editors expect them: CR LF, .txt.
  set(vx_text_dir ${CMAKE_CURRENT_BINARY_DIR}/zip-text)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/zip-readme.txt.in ${vx_text_dir}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  file(READ ${PROJECT_SOURCE_DIR}/CHANGELOG.md vx_changelog)
  foreach(text license changelog)
    string(REPLACE "\n" "\r\n" vx_${text} "${vx_${text}}")
  endforeach()
  file(WRITE ${vx_text_dir}/LICENSE.txt "${vx_license}")
  file(WRITE ${vx_text_dir}/CHANGELOG.txt "${vx_changelog}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/CHANGELOG.md)
  install(FILES ${vx_text_dir}/README.txt ${vx_text_dir}/LICENSE.txt
                ${vx_text_dir}/CHANGELOG.txt DESTINATION .)
else()
  # debian/copyright format 1.0: the notice's holder and years, the text
  # after it as the licence, each line indented, empty lines as " .".
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" vx_notice "${vx_license}")
  set(vx_holder "${CMAKE_MATCH_1}")
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" vx_terms "${vx_license}")
  string(STRIP "${vx_terms}" vx_terms)
  string(REPLACE "\n" "\n " vx_terms " ${vx_terms}")
  string(REPLACE "\n \n" "\n .\n" vx_terms "${vx_terms}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: ${PROJECT_NAME}\n"
       "Upstream-Contact: ${VX_CONTACT}\n"
       "\n"
       "Files: *\n"
       "Copyright: ${vx_holder}\n"
       "License: Expat\n"
       "${vx_terms}\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
                     COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.py
                             ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_NAME} "${VX_CONTACT}"
                             ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md
                             ${PROJECT_SOURCE_DIR}/cmake/debian_changelog.py
                     VERBATIM)
  add_custom_target(vx_changelog ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${VX_INSTALL_DOC})
endif()

set(CPACK_PACKAGE_NAME vxupdate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "vxupdate developers")
set(CPACK_PACKAGE_CONTACT "${VX_CONTACT}")
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
