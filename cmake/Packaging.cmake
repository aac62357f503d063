# Packages: a .deb for Debian and its derivatives, and a .tar.gz of the install tree.
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME inutil)
set(CPACK_PACKAGE_VENDOR "The inutil developers")
set(CPACK_PACKAGE_CONTACT "The inutil developers <inutil@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "complain, 80 times, that the operating system is useless")
set(CPACK_PACKAGE_DESCRIPTION
    "inutil writes the Spanish sentence \"Este sistema operativo si que es inutil\" 80 times
to standard output, each copy followed by a line feed and a BEL, and exits with
status 0, whatever its command line and whatever is behind its standard streams.
It reads nothing, configures nothing and writes nothing to standard error.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Filled in from what the binary links against: nothing, when it is linked statically.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
