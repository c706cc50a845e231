# Installing and packaging around the programs: the man page of fazorn-cli
# (made by help2man from its --help, when help2man is installed), bash
# completion, and `cpack` building fazorn_<version>_amd64.deb from the
# install rules of the window, the command line and the Python package.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/packaging/fazorn-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME fazorn-cli)

find_program(FAZORN_HELP2MAN help2man)
if(FAZORN_HELP2MAN)
  set(FAZORN_MAN_PAGE ${PROJECT_BINARY_DIR}/fazorn-cli.1)
  add_custom_command(
    OUTPUT ${FAZORN_MAN_PAGE}
    COMMAND ${FAZORN_HELP2MAN} --no-info --no-discard-stderr
            --name "period analysis of light curves" --section 1
            --output ${FAZORN_MAN_PAGE} $<TARGET_FILE:fazorn-cli>
    DEPENDS fazorn-cli
    COMMENT "Writing the man page of fazorn-cli from its --help")
  add_custom_target(fazorn_man_page ALL DEPENDS ${FAZORN_MAN_PAGE})
  install(FILES ${FAZORN_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: no man page for fazorn-cli")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fazorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Fazorn developers <fazorn@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Period analysis of astronomical light curves")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # fazorn_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The run-time dependencies from the libraries the binaries link
# (dpkg-shlibdeps), plus the interpreter and numpy of the Python package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib, python3-astropy, python3-pandas, python3-dask")
include(CPack)
