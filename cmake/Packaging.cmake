# Manual pages, systemd user units and the Debian package (scripts/package: CPack's DEB generator over the install
# rules of every folder). The maintainer scripts and the files Debian wants in every package are in packaging/.
set(pkg ${PROJECT_SOURCE_DIR}/packaging)
# systemd looks for user units in PREFIX/lib/systemd/user (not under the multiarch library folder).
set(unit_dir lib/systemd/user)
set(TESSALINE_USER_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/${unit_dir})

# tessaline-backup(1) is made from the command's --help and --version with help2man, so it lists every option;
# help2man runs the freshly built command, which a sanitizer build cannot do quietly.
find_program(TESSALINE_HELP2MAN help2man)
if(TESSALINE_HELP2MAN AND NOT TESSALINE_SANITIZE)
    set(manual_default ON)
else()
    set(manual_default OFF)
endif()
option(TESSALINE_MANUAL "Make the manual pages (needs help2man)" ${manual_default})

set(man ${PROJECT_BINARY_DIR}/man)
if(TESSALINE_MANUAL)
    if(NOT TESSALINE_HELP2MAN)
        message(FATAL_ERROR "TESSALINE_MANUAL needs help2man (Debian package help2man)")
    endif()
    configure_file(${pkg}/tessaline-backup.h2m.in ${man}/tessaline-backup.h2m @ONLY)
    # A throwaway home keeps the command away from the settings of whoever builds it.
    add_custom_command(OUTPUT ${man}/tessaline-backup.1.gz ${man}/tessaline.1.gz
        COMMAND ${CMAKE_COMMAND} -E env HOME=${man} XDG_CONFIG_HOME=${man} LC_ALL=C.UTF-8
                ${TESSALINE_HELP2MAN} --no-info --section=1 --source=Tessaline
                "--name=make or restore a backup of a SQL Server database as an SQL script"
                --include=${man}/tessaline-backup.h2m --output=${man}/tessaline-backup.1
                $<TARGET_FILE:tessaline-backup>
        COMMAND ${CMAKE_COMMAND} -E copy ${pkg}/tessaline.1 ${man}/tessaline.1
        COMMAND gzip -9nf ${man}/tessaline-backup.1 ${man}/tessaline.1
        DEPENDS tessaline-backup ${man}/tessaline-backup.h2m ${pkg}/tessaline.1
        COMMENT "Manual pages tessaline(1) and tessaline-backup(1)"
        VERBATIM)
    add_custom_target(tessaline_manual ALL DEPENDS ${man}/tessaline-backup.1.gz ${man}/tessaline.1.gz)
    install(FILES ${man}/tessaline.1.gz ${man}/tessaline-backup.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The nightly backup as systemd user units; `systemctl --user edit tessaline-backup.timer` changes the schedule.
configure_file(${pkg}/tessaline-backup.service.in ${PROJECT_BINARY_DIR}/tessaline-backup.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessaline-backup.service ${pkg}/tessaline-backup.timer
        DESTINATION ${unit_dir})

# What Debian wants in every package's documentation folder.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${pkg}/changelog ${PROJECT_BINARY_DIR}/changelog
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/changelog
    DEPENDS ${pkg}/changelog
    VERBATIM)
add_custom_target(tessaline_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${pkg}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tessaline)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VENDOR Brackwell)
set(CPACK_PACKAGE_CONTACT "Brackwell <support@brackwell.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "backups of a SQL Server database as plain-text SQL scripts")
# CPack indents the long description and turns its empty line into the paragraph mark.
set(CPACK_PACKAGE_DESCRIPTION "Tessaline keeps backups of one Microsoft SQL Server database as plain-text
SQL scripts: on demand or on a schedule while it waits in the system tray,
written to time-stamped files in a folder you pick, logged, and restored by
sending a chosen script to the server, statement batch by statement batch.

The headless command tessaline-backup makes one backup with the stored
settings, from cron or from the systemd user timer in this package.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' packages (Qt, unixODBC, ISA-L, QtKeychain) from dpkg-shlibdeps, with their versions, plus the ODBC
# driver and the tools the maintainer scripts call.
# QtKeychain opens libsecret at run time, so dpkg-shlibdeps cannot see it; a Secret Service to talk to is recommended.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tdsodbc, unixodbc, odbcinst, libsecret-1-0")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring | kwalletmanager | keepassxc, rclone")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${pkg}/postinst ${pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
