# The Debian binary package, built by CPack's DEB generator from the package preset
# (scripts/package): tessarin_<version>_<arch>.deb with the plug-in, the companion, its login
# files, its manual page, the copyright file and the changelog.
if(NOT TARGET tessarin-companion)
    message(FATAL_ERROR "The package needs the companion: configure with TESSARIN_BUILD_TOOLS ON "
                        "and its dependencies installed (scripts/deps.sh)")
endif()

set(TESSARIN_PACKAGE_MAINTAINER "Tessarin developers <maintainers@tessarin.invalid>"
    CACHE STRING "The package's Maintainer field")
set(_packaging_dir ${CMAKE_CURRENT_LIST_DIR})

# The changelog's newest entry names the version the package is built as: they must agree.
file(STRINGS ${_packaging_dir}/changelog _changelog_top LIMIT_COUNT 1)
if(NOT _changelog_top MATCHES "^tessarin \\(([^)]+)\\) ")
    message(FATAL_ERROR "packaging/changelog does not start with a 'tessarin (VERSION)' entry")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "packaging/changelog's newest entry is ${CMAKE_MATCH_1}, the project is "
                        "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()

# Debian's documentation files: the copyright as it is, the changelog compressed (a native
# package's changelog.gz).
set(_changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(
    OUTPUT ${_changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${_packaging_dir}/changelog ${CMAKE_BINARY_DIR}/packaging/changelog
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${_packaging_dir}/changelog
    COMMENT "Compressing the package's changelog")
add_custom_target(tessarin-changelog ALL DEPENDS ${_changelog_gz})
install(FILES ${_packaging_dir}/copyright ${_changelog_gz} DESTINATION share/doc/tessarin)

# Every file under /etc is a conffile: dpkg keeps a user's edit on upgrade, removes it on purge.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "/etc/xdg/autostart/tessarin-companion.desktop\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessarin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Tessarin developers")
set(CPACK_PACKAGE_CONTACT ${TESSARIN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sample capture CLAP plug-in with its companion daemon")
set(CPACK_PACKAGE_DESCRIPTION
    "Tessarin is a stereo CLAP audio-effect plug-in that keeps the last 60\n"
    "seconds of its non-silent input in a capture buffer and measures its\n"
    "loudness (ITU-R BS.1770) while the audio passes through unchanged. Its\n"
    "companion, tessarin-companion, serves a page on 127.0.0.1 that shows the\n"
    "waveform, the meters, a loudness history and a spectrum, and exports any\n"
    "stretch of the capture as WAV or FLAC, normalised to a peak or a loudness.\n"
    "\n"
    "This package installs the plug-in into /usr/lib/clap, where CLAP hosts\n"
    "look for it, the companion with its manual page, and a systemd user unit\n"
    "and a desktop autostart entry that start the companion at login.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# /usr, as the unit and the autostart entry were configured; DESTDIR staging, since the autostart
# entry's destination (/etc/xdg/autostart) is absolute.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TESSARIN_PACKAGE_MAINTAINER})
# Depends computed by dpkg-shlibdeps from what the binaries link, never typed here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The generator adds postinst and postrm scripts that run ldconfig whenever a shared object lies in
# a folder under /usr/lib. The plug-in is one, but no library the dynamic linker looks up: the
# package needs no maintainer script, and this step takes them out again.
set(CPACK_POST_BUILD_SCRIPTS ${_packaging_dir}/drop_ldconfig_scripts.cmake)
include(CPack)
