# The Debian package of the application and the simulator:
#   cpack --config BUILD/CPackConfig.cmake -B OUTDIR   (scripts/package.sh)
# writes tovrin-authenticator_<version>_<arch>.deb. No maintainer scripts.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovrin-authenticator)
set(CPACK_PACKAGE_VENDOR Halvard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Halvard <support@halvard.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Show the one-time passwords of the OTP tokens on a FIDO key")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tovrin Authenticator G2 lists the OTP tokens held on a FIDO key, shows the\n"
    "selected token's current code and copies it to the clipboard, guarded by\n"
    "the key's access PIN. It asks the FIDO OTP service on 127.0.0.1:12900 for\n"
    "every key operation: fido-otp-service for real keys (PC/SC and the OATH\n"
    "applet) and fido-otp-sim, a simulated service, are included.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://halvard.example/tovrin-authenticator)
# Libraries the executables link, found by dpkg-shlibdeps; the SVG plugins are
# loaded at run time (icons), so they are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libqt5svg5)
# fido-otp-service reaches keys through pcscd.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS pcscd)

include(CPack)
