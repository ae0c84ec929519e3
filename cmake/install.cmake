# Installation and packages.
#
#   cmake --install build [--prefix P]   the programs into P/bin, their manual
#                                        pages into P/share/man/man1, the
#                                        README into P/share/doc/unbak
#   cd build && cpack                    the same as a .deb (Linux build)
#   scripts/windows.sh --package         a zip of the .exe files, the README
#                                        and the pages as text (cross build)
#
# Included at the end of the top-level CMakeLists.txt, when every target
# exists. The packaging tests of the suite are registered here too.
include(GNUInstallDirs)

# The installed programs; each has its page man/<program>.1. A program this
# configuration does not build (mkbak in the Windows build) is left out.
set(UNBAK_PROGRAMS
    unbak
    dbfscan
    bak
    mkbak
)
# The version the programs' banner prints.
set(UNBAK_VERSION 1.02)
target_compile_definitions(bak_core PRIVATE BAK_VERSION="${UNBAK_VERSION}")
set(UNBAK_MAINTAINER "unbak developers <unbak@example.org>"
    CACHE STRING "Maintainer field of the .deb")

set(installed_programs "")
foreach(program ${UNBAK_PROGRAMS})
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()

if(WIN32)
  # One folder, as a Windows user unpacks it: the programs, the README and
  # the pages rendered as plain text by the host's groff.
  find_program(UNBAK_GROFF groff)
  set(manual_texts "")
  if(UNBAK_GROFF)
    foreach(program ${installed_programs})
      set(text ${CMAKE_BINARY_DIR}/man/${program}.txt)
      add_custom_command(
        OUTPUT ${text}
        COMMAND ${CMAKE_COMMAND} -DGROFF=${UNBAK_GROFF}
                -DPAGE=${CMAKE_SOURCE_DIR}/man/${program}.1 -DTEXT=${text}
                -P ${CMAKE_SOURCE_DIR}/cmake/man-to-text.cmake
        DEPENDS ${CMAKE_SOURCE_DIR}/man/${program}.1 ${CMAKE_SOURCE_DIR}/cmake/man-to-text.cmake
        COMMENT "Rendering the manual page of ${program} as text")
      list(APPEND manual_texts ${text})
    endforeach()
    add_custom_target(manual_texts ALL DEPENDS ${manual_texts})
  else()
    message(WARNING "groff not found (Debian: groff-base): the zip gets no manual pages")
  endif()
  install(TARGETS ${installed_programs} RUNTIME DESTINATION .)
  install(FILES README.md ${manual_texts} DESTINATION .)
  # cpack installs without building everything first (the test programs
  # would need Wine to build): scripts/windows.sh --package builds what the
  # zip holds.
  set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
else()
  install(TARGETS ${installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  foreach(program ${installed_programs})
    install(FILES man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME unbak)
set(CPACK_PACKAGE_VERSION ${UNBAK_VERSION})
set(CPACK_PACKAGE_CONTACT ${UNBAK_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "restore files from legacy disk-backup images")
set(CPACK_PACKAGE_DESCRIPTION "\
unbak lists and restores the files of a backup set of an old disk-backup
product: one image file per disk, the catalog on the last disk. It recreates
the directory tree under the current directory, inflates and checks
compressed data, and asks for the other disks of a set by name. bak
finds a set's images by their headers and lists, tests and restores the
whole set, saving what can be saved from damaged or incomplete sets. dbfscan shows the tables of a catalog;
mkbak writes a directory tree as a backup set to try them on.")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # (include(CPack) leaves CPACK_PACKAGE_FILE_NAME set to the source
  # package's name: the test takes the name from here.)
  set(UNBAK_ZIP_NAME unbak-${UNBAK_VERSION}-win64)
  set(CPACK_PACKAGE_FILE_NAME ${UNBAK_ZIP_NAME})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # Depends: from the shared libraries the programs link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # bak mount runs fusermount3 to unmount (and libfuse to mount as a user).
  if(TARGET PkgConfig::FUSE3)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS fuse3)
  endif()
  # Debian ships manual pages compressed.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/deb-gzip-man.cmake)
endif()
include(CPack)

if(UNBAK_TESTS)
  # The pages render without warnings and name every option of the usage
  # texts; an install into a scratch prefix; the .deb restores the bundled
  # example; the Windows zip holds what it should. Each script exits 77
  # (skipped) when a tool it needs is missing; scripts/deps.sh installs them.
  function(add_packaging_test name script)
    add_test(NAME Packaging.${name}
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/packaging/${script} ${ARGN})
    set_tests_properties(Packaging.${name} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
  endfunction()
  set(scratch ${CMAKE_BINARY_DIR}/packaging-test)
  if(NOT CMAKE_CROSSCOMPILING)
    set(program_files "")
    foreach(program ${installed_programs})
      list(APPEND program_files "${program}=$<TARGET_FILE:${program}>")
    endforeach()
    add_packaging_test(ManualPages check_manpages.sh ${CMAKE_SOURCE_DIR}/man ${program_files})
    add_packaging_test(InstallPrefix check_install.sh
                       ${CMAKE_BINARY_DIR} ${scratch}/install ${installed_programs})
    # A package of sanitized or fuzzing programs is nobody's package.
    if(NOT UNBAK_SANITIZE AND NOT UNBAK_FUZZ)
      add_packaging_test(DebRestoresExample check_deb.sh
                         ${CMAKE_BINARY_DIR} ${scratch}/deb ${CMAKE_SOURCE_DIR} ${installed_programs})
    endif()
  elseif(WIN32)
    add_packaging_test(WindowsZip check_zip.sh
                       ${CMAKE_BINARY_DIR} ${scratch}/zip ${UNBAK_ZIP_NAME}
                       ${installed_programs})
  endif()
endif()
