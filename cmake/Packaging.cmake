# Installing on Linux, and the Debian package built from the same rules
# ("cpack -G DEB" in a build folder; tools/package.sh does it all):
#   PREFIX/bin/tavrel
#   PREFIX/share/tavrel/           the shipped defaults, the read-me as HTML
#                                  and as text, and DefSet.txt, so the
#                                  installed program keeps each user's data
#                                  in ~/.config/Brennow/Tavrel
#   /lib/systemd/system/tavrel.service
#   PREFIX/share/polkit-1/rules.d/tavrel.rules
#                                  what the service's user may ask of
#                                  timedated and systemd
#   PREFIX/share/polkit-1/actions/org.brennow.tavrel.apply-clock-change.policy
#                                  the clock helper's action for pkexec
#   PREFIX/lib/tmpfiles.d/tavrel.conf
#                                  its right to write in the node exporter's
#                                  textfile folder
#   PREFIX/lib/systemd/ntp-units.d/80-tavrel.list
#                                  the service as timedated's NTP service
#   PREFIX/share/doc/tavrel/       the copyright and the changelog
#   the man page, bash completion, a desktop launcher and its icon.
include(GNUInstallDirs)

# The built-in strings as a file, and the service's unit, both made by the
# program's own code.
add_executable(tavrel_package_files app/package_files.cpp)
target_link_libraries(tavrel_package_files PRIVATE tavrel_core)
set(TAVREL_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
add_custom_command(OUTPUT ${TAVREL_PACKAGE_DIR}/Strings.txt
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVREL_PACKAGE_DIR}
                   COMMAND tavrel_package_files strings ${TAVREL_PACKAGE_DIR}/Strings.txt
                   DEPENDS tavrel_package_files)
add_custom_command(OUTPUT ${TAVREL_PACKAGE_DIR}/tavrel.1.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVREL_PACKAGE_DIR}
                   COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/resources/linux/tavrel.1 > ${TAVREL_PACKAGE_DIR}/tavrel.1.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/resources/linux/tavrel.1)
# The packaging lives with the program, so the package is a native one: its
# changelog is changelog.gz, and its newest entry names the project's version.
file(STRINGS ${CMAKE_SOURCE_DIR}/resources/linux/changelog TAVREL_CHANGELOG_TOP LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/resources/linux/changelog)
if(NOT TAVREL_CHANGELOG_TOP MATCHES "^tavrel \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "resources/linux/changelog starts with \"${TAVREL_CHANGELOG_TOP}\": "
                      "give version ${PROJECT_VERSION} an entry there")
endif()
add_custom_command(OUTPUT ${TAVREL_PACKAGE_DIR}/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${TAVREL_PACKAGE_DIR}
                   COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/resources/linux/changelog > ${TAVREL_PACKAGE_DIR}/changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/resources/linux/changelog)
add_custom_target(tavrel_package_data ALL DEPENDS ${TAVREL_PACKAGE_DIR}/Strings.txt ${TAVREL_PACKAGE_DIR}/tavrel.1.gz
                                                  ${TAVREL_PACKAGE_DIR}/changelog.gz)

install(TARGETS tavrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/ReadMe.htm resources/ServFile.txt ${TAVREL_PACKAGE_DIR}/Strings.txt
              resources/linux/DefSet.txt ${TAVREL_README_TEXT}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tavrel)
install(FILES ${TAVREL_PACKAGE_DIR}/tavrel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES resources/linux/copyright ${TAVREL_PACKAGE_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavrel)
install(FILES resources/linux/tavrel.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME tavrel)
install(FILES resources/linux/tavrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/linux/tavrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES resources/linux/tavrel.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/polkit-1/rules.d)
# systemd's own folder, which is lib/ whatever the system's library folder.
install(FILES resources/linux/tavrel.tmpfiles DESTINATION lib/tmpfiles.d RENAME tavrel.conf)
install(FILES resources/linux/tavrel.ntp-units DESTINATION lib/systemd/ntp-units.d RENAME 80-tavrel.list)
# The unit names the program where it is installed, which is known only when
# installing (the package installs under /usr whatever the build's prefix).
install(CODE "
  set(unit \"${TAVREL_PACKAGE_DIR}/unit/tavrel.service\")
  file(MAKE_DIRECTORY \"${TAVREL_PACKAGE_DIR}/unit\")
  execute_process(COMMAND \"$<TARGET_FILE:tavrel_package_files>\" unit
                          \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrel\" \"\${unit}\"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR \"could not write the service's unit\")
  endif()
  file(INSTALL \"\${unit}\" DESTINATION /lib/systemd/system
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")
# So does the clock helper's polkit action, which pkexec matches against
# the program's path.
install(CODE "
  file(READ \"${CMAKE_SOURCE_DIR}/resources/linux/tavrel.policy\" policy)
  string(REPLACE \"@TAVREL_PROGRAM@\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/tavrel\" policy \"\${policy}\")
  set(made \"${TAVREL_PACKAGE_DIR}/policy/org.brennow.tavrel.apply-clock-change.policy\")
  file(WRITE \"\${made}\" \"\${policy}\")
  file(INSTALL \"\${made}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/polkit-1/actions\"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Brennow)
# A reserved domain: the package has no mailing address of its own yet.
set(CPACK_PACKAGE_CONTACT "Tavrel developers <tavrel@tavrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps the computer's clock right by TIME and SNTP")
# The extended description, after the summary; CPack indents its lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tavrel asks an internet time server for the time by the TIME protocol\n(RFC 868) or SNTP (RFC 2030), shows the difference or sets the clock,\nnow or on a schedule, walks a server list with fallback, and can serve\nthe time to other machines. It runs as a terminal window program, as a\none-shot sync (tavrel /q) or as a hardened systemd service, which takes\nthe place of the system's time daemon (systemd-timesyncd, chrony, ...).")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from dpkg-shlibdeps; sensible-utils for the editor and
# the pager that open the server list, the log and the read-me in a terminal;
# adduser for the service's user. polkitd reads the rule that lets that user
# set the time zone (the zone lock).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, sensible-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS polkitd)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS pkexec)
# One program sets the clock: like Debian's time daemons, the package takes
# the place of whichever one is installed.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS time-daemon)
set(CPACK_DEBIAN_PACKAGE_PROVIDES time-daemon)
set(CPACK_DEBIAN_PACKAGE_REPLACES time-daemon)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/resources/linux/postinst ${CMAKE_SOURCE_DIR}/resources/linux/prerm
    ${CMAKE_SOURCE_DIR}/resources/linux/postrm ${CMAKE_SOURCE_DIR}/resources/linux/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# The package installs under /usr whatever the build's own prefix; absolute
# destinations (the unit) land in the package, never on this machine.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
