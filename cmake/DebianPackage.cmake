# The Debian package, built by CPack from what `cmake --install` installs:
#   cd build && cpack -G DEB      (scripts/package.sh does this)
# writes build/deruzera_<version>_<arch>.deb.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME deruzera)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Deruzera")
set(CPACK_PACKAGE_CONTACT "NTFS Deruzera <packages@deruzera.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find deleted files on an NTFS volume and recover them")
# One line a line of the package's long description.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "NTFS Deruzera reads an NTFS volume raw, lists the files that were deleted\n"
  "from it with their folder, size and times, and copies them back out to\n"
  "another disk. The volume is never written to.\n"
  "\n"
  "The package holds the window (deruzera) and its command-line companion\n"
  "(deruzera-cli) for scripts, servers and disk images. The companion lists\n"
  "the files found as a table or as JSON lines, and recovers one file, a\n"
  "selection or all of them into a folder. A device that the user may not\n"
  "read is opened read-only through udisks, after polkit has asked for a\n"
  "password.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "http://deruzera.example/details/ntfs-deruzera")
# The shared libraries the programs link come from dpkg-shlibdeps (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What they need at run time besides: udisks2 and polkit hand the companion a
# read-only descriptor of a device (pkttyagent is in polkitd; Debian 12 keeps
# policykit-1 as its old name).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "udisks2, polkitd | policykit-1")
if(TARGET deruzera)
  # libqt6gui6 holds the JPEG image plugin that decodes the progress page's
  # picture and the xcb platform plugin; hicolor owns the icon folders. The
  # scalable icon needs Qt's SVG plugins; the file type icons need a theme.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libqt6gui6, hicolor-icon-theme")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6svg6, adwaita-icon-theme")
endif()

include(CPack)
