# The Debian package: `cpack -G DEB` in a build folder (scripts/package.sh) makes
# cartscope_<version>_amd64.deb from the install rules, with the run-time dependencies found
# by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cartscope)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Cartscope developers")
set(CPACK_PACKAGE_CONTACT "Cartscope Maintainers <maintainers@cartscope.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "inspect Nintendo DS and iQue DS cartridge images")
# The synopsis comes from the summary above; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Cartscope opens a Nintendo DS or iQue DS cartridge image (or a ZIP archive
that holds one) and shows its title, serial code and region, publisher, file
and card sizes, the file CRC-32 and the header CRC-16 checks, the bad-dump
check, the banner icon and titles, and every file inside the image. It saves
a header report, exports the icon as PNG and extracts files.
.
The package holds the Qt window (cartscope), the command-line front end
(cartscope-cli) and a thumbnailer that shows banner icons in file managers.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://github.com/cartscope/cartscope")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libarchive and libcrypto are opened at run time (archive/libarchive_api.cpp,
# core/checksum/digest.cpp), so dpkg-shlibdeps cannot see them; the dependencies it finds are added to
# these. Qt Multimedia is named too: its audio back ends are plugins the library loads at run time.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libarchive13 (>= 3.6.0), libssl3 (>= 3.0.0), libqt6multimedia6 (>= 6.4)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Files 0644 and folders 0755 whatever the umask of the machine that builds the package.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
