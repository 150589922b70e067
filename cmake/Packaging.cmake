# What `cmake --install` puts on a machine (the program, its menu entry, AppStream metadata,
# icon, manual page and udev rule) and the Debian package CPack makes of it (`cpack -G DEB`, or
# the `package` target).

include(GNUInstallDirs)

# The program links only system libraries: no run path of its own once installed.
set_target_properties(corvane-updater PROPERTIES INSTALL_RPATH "")
install(TARGETS corvane-updater RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/corvane-updater.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)

# The release's date for the AppStream metadata and the package's changelog: the date of the
# commit built, so that every build of it says the same; the build's date outside a checkout.
find_package(Git QUIET)
if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cs
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE CORVANE_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%cD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE CORVANE_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
endif()
if(NOT CORVANE_RELEASE_DATE OR NOT CORVANE_RELEASE_DATE_RFC2822)
    string(TIMESTAMP CORVANE_RELEASE_DATE "%Y-%m-%d" UTC)
    string(TIMESTAMP CORVANE_RELEASE_DATE_RFC2822 "%a, %d %b %Y %H:%M:%S +0000" UTC)
endif()

# AppStream metadata, named after its component id, as software centres look it up.
set(CORVANE_APPSTREAM_ID invalid.corvane.updater)
set(metainfo ${CMAKE_BINARY_DIR}/packaging/${CORVANE_APPSTREAM_ID}.metainfo.xml)
configure_file(${CMAKE_SOURCE_DIR}/packaging/corvane-updater.metainfo.xml.in ${metainfo} @ONLY)
install(FILES ${metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The udev rule: FTDI adapters open for the logged-in user, and left alone by ModemManager.
# udev reads /usr/lib/udev/rules.d (the package's prefix is /usr), not a libdir with a triplet.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/70-corvane-updater.rules
        DESTINATION lib/udev/rules.d)

# The package's copyright and changelog, where Debian's policy wants them.
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${changelog}.txt @ONLY)
add_custom_command(OUTPUT ${changelog}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${changelog}.txt ${changelog}
    COMMAND gzip -9nf ${changelog}
    DEPENDS ${changelog}.txt
    COMMENT "Compressing the package's changelog"
    VERBATIM)
add_custom_target(corvane_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvane-updater)

# The icon is the window's own picture, drawn by the program's code at build time.
set(icon_png ${CMAKE_BINARY_DIR}/packaging/corvane-updater.png)
add_custom_command(OUTPUT ${icon_png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:draw_icon> 256
            ${icon_png}
    DEPENDS draw_icon
    COMMENT "Drawing the program's icon"
    VERBATIM)
add_custom_target(corvane_icon ALL DEPENDS ${icon_png})
install(FILES ${icon_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)

# The manual page is the program's own --help, turned into a man page by help2man.
find_program(HELP2MAN_PROGRAM help2man)
if(HELP2MAN_PROGRAM)
    set(man_page ${CMAKE_BINARY_DIR}/packaging/corvane-updater.1)
    add_custom_command(OUTPUT ${man_page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
        COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ${HELP2MAN_PROGRAM}
                --no-info --section=1
                --version-string=${PROJECT_VERSION}.${CORVANE_BUILD_NUMBER}
                "--name=reprogram a Corvane unit over a USB serial link"
                --output=${man_page} $<TARGET_FILE:corvane-updater>
        COMMAND gzip -9nf ${man_page}
        DEPENDS corvane-updater
        COMMENT "Writing the manual page from --help"
        VERBATIM)
    add_custom_target(corvane_man_page ALL DEPENDS ${man_page}.gz)
    install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
    message(STATUS "help2man not found: no manual page (scripts/install-deps.sh installs it)")
endif()

set(CPACK_PACKAGE_NAME corvane-updater)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane service <service@corvane.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Reprograms a Corvane unit attached through a USB serial adapter")
# One string (a list of several would put semicolons into the control file), lines short
# enough for Debian's description field.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "The service technician's firmware updater for Corvane units. It finds the\n"
    "unit on a USB serial port, shows the installed and carried firmware versions\n"
    "and reprograms what is out of date. The firmware is carried inside the\n"
    "program and checked against its build-time digests at every start.\n"
    "A udev rule lets the logged-in user open FTDI USB serial adapters and tells\n"
    "ModemManager to leave them alone; other users need the dialout group.\n"
    "corvane-updater --doctor checks the machine before a run.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The Qt 6 and C++ runtime libraries come from dpkg-shlibdeps; the window's font is a data
# package that no library links, and Qt's SQLite driver (--history) a plugin loaded at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wine, libqt6sql6-sqlite")
set(CPACK_GENERATOR DEB)
include(CPack)
