# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package (scripts/package): the module where Debian's OBS looks for system-wide
# plug-ins, libvosk in a folder of its own that the module's RUNPATH names (OBS would try to
# load any .so inside obs-plugins/ as a plug-in), the data where OBS looks for the module's.
set(deb_libdir "lib/x86_64-linux-gnu")
install(TARGETS obs-brisvane LIBRARY DESTINATION "${deb_libdir}/obs-plugins")
install(FILES "${BRISVANE_VOSK_DIR}/libvosk.so" DESTINATION "${deb_libdir}/obs-brisvane")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/data/" DESTINATION "share/obs/obs-plugins/obs-brisvane"
        FILES_MATCHING PATTERN "*.ini" PATTERN "*.wav")
install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "share/doc/obs-brisvane" RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME obs-brisvane)
set(CPACK_PACKAGE_VENDOR "obs-brisvane")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OBS Studio source that records spoken notes on keywords and posts them to a server")
set(CPACK_PACKAGE_DESCRIPTION "Adds the source Kavrel Assistant Uploader to OBS Studio. It listens to another audio
source, recognises start and stop keywords offline with Vosk (bundled), records what is said
in between or what is recorded with its hotkey, and posts each take as a WAV file to an HTTP
server. A Vosk model goes into /usr/share/obs/obs-plugins/obs-brisvane/model/.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "obs-brisvane developers")
# libobs comes with OBS Studio; the rest is what the module and the bundled libvosk link.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libobs0 (>= 29) | obs-studio (>= 29), libc6 (>= 2.34), libcurl4 (>= 7.63.0), libgcc-s1 (>= 3.4), libstdc++6 (>= 12)")
# The notification sounds play through libcanberra when it is there.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libcanberra0")
include(CPack)
