# What the Debian package holds besides the program, its documents and examples: the
# copyright file, the changelog and the manual page (the last two made at configure time
# and compressed with gzip -9n, as Debian asks: best compression, no file name or time
# stamp, so that two builds of one version give the same package), and its Maintainer.

# The packager's name and address, for the Maintainer field and the changelog entry. The
# project's own is a placeholder at a domain that receives no mail: packages handed out
# carry the address of whoever answers for them.
set(DOVEL_PACKAGE_MAINTAINER "the dovelflash developers <dovelflash@example.org>"
    CACHE STRING "Maintainer of the Debian package: \"Name <address>\"")
if(NOT DOVEL_PACKAGE_MAINTAINER MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "DOVEL_PACKAGE_MAINTAINER must be \"Name <user@domain>\", "
                      "not \"${DOVEL_PACKAGE_MAINTAINER}\"")
endif()

# A native package's changelog must name the package's own version in its latest entry.
file(STRINGS packaging/changelog.in changelogHead LIMIT_COUNT 1)
if(NOT changelogHead MATCHES "^dovelflash \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.in has no entry for version ${PROJECT_VERSION} on "
                      "top (\"${changelogHead}\"): add one for this release")
endif()

find_program(DOVEL_GZIP gzip REQUIRED)
set(debianDocs "${CMAKE_CURRENT_BINARY_DIR}/debian")
foreach(document IN ITEMS changelog dovelflash.1)
  configure_file(packaging/${document}.in "${debianDocs}/${document}" @ONLY)
  execute_process(COMMAND "${DOVEL_GZIP}" -9n -c "${debianDocs}/${document}"
                  OUTPUT_FILE "${debianDocs}/${document}.gz" RESULT_VARIABLE gzipStatus)
  if(NOT gzipStatus EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${debianDocs}/${document}")
  endif()
endforeach()

install(FILES packaging/copyright "${debianDocs}/changelog.gz" DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES "${debianDocs}/dovelflash.1.gz" DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DOVEL_PACKAGE_MAINTAINER}")
# The run's records (DOVEL_REPORT) are JSON lines, which jq reads at the shell.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS jq)
