# How the Linux programs install (cmake --install), and their Debian package (cpack -G DEB): the
# three programs in /usr/bin, a manual page each in section 1, made by help2man from the
# program's own --help and --version so that it cannot drift from them, the copyright file (the
# repository's LICENSE) and the changelog, and the dependencies that dpkg-shlibdeps finds for
# the shared libraries actually linked.
include(GNUInstallDirs)
set(stelvarion_package stelvarion-boot-utility)
set(stelvarion_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${stelvarion_package})
set(stelvarion_packaging_dir ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS stelvarion-boot stelvarion-probe stelvarion-usb-key RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

find_program(STELVARION_HELP2MAN help2man)
find_program(STELVARION_GZIP gzip)
if(NOT STELVARION_HELP2MAN OR NOT STELVARION_GZIP)
  message(FATAL_ERROR "help2man and gzip make the manual pages (Debian packages help2man and gzip)")
endif()

# Each page's NAME line; the rest comes from the program.
set(stelvarion_man_names
  "stelvarion-boot=make a Stelvarion USB key a bootable DOS disk"
  "stelvarion-probe=show what the device library reads from a Stelvarion key"
  "stelvarion-usb-key=serve an emulated Stelvarion key as a USB stick over usbredir")
set(stelvarion_man_pages)
foreach(entry IN LISTS stelvarion_man_names)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 program)
  list(GET entry 1 name)
  set(page ${stelvarion_packaging_dir}/${program}.1)
  # gzip -n: no name or time stamp in the archive, as Debian's policy asks.
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND ${STELVARION_HELP2MAN} --no-info --section=1 --name=${name} --output=${page} $<TARGET_FILE:${program}>
    COMMAND ${STELVARION_GZIP} -9nf ${page}
    DEPENDS ${program}
    COMMENT "Manual page ${program}(1), from its --help and --version"
    VERBATIM)
  list(APPEND stelvarion_man_pages ${page}.gz)
endforeach()

# The changelog's newest entry must be of this version.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^${stelvarion_package} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins \"${changelog_top}\": its newest entry must be version ${PROJECT_VERSION}, the project's")
endif()
set(changelog ${stelvarion_packaging_dir}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog}
  COMMAND ${STELVARION_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(stelvarion_package_files ALL DEPENDS ${stelvarion_man_pages} ${changelog})

install(FILES ${stelvarion_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${changelog} DESTINATION ${stelvarion_doc_dir})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${stelvarion_doc_dir} RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${stelvarion_package})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "Stelvarion Boot Utility maintainers <maintainers@users.noreply.c-seed-fe1d1a45.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "make a Stelvarion USB key a bootable DOS disk
stelvarion-boot turns one USB key of the Stelvarion family into a bootable
DOS disk: it resizes and repartitions the key through its vendor SCSI
commands, writes a master boot record, a FAT boot sector and empty FATs,
copies the three DOS system files and sets the volume label. With --device
it drives a real key on this machine's USB bus (through SG_IO); without it,
an emulated key in an image file.

stelvarion-probe shows what the device library reads from a key, and
stelvarion-usb-key serves an emulated key as a USB stick over usbredir,
for qemu.")
include(CPack)
