# Install rules, the Debian package (CPack) and the source release (dist).

# The manual page and changelog are compressed as Debian installs them; -n
# keeps the name and time stamp out, so that the same text gives the same
# bytes.
find_program(GZIP gzip REQUIRED)
foreach(doc chunkcat.1 changelog)
  add_custom_command(OUTPUT ${doc}.gz
                     COMMAND ${GZIP} -9n < ${CMAKE_SOURCE_DIR}/doc/${doc} > ${doc}.gz
                     DEPENDS doc/${doc} VERBATIM)
endforeach()
add_custom_target(docs ALL DEPENDS chunkcat.1.gz changelog.gz)
# The licence in Debian's machine-readable copyright format: its text
# indented by one blank, with "." for each empty line.
file(READ LICENSE licence_text)
string(REGEX REPLACE "^[^\n]*\n\n" "" licence_text "${licence_text}")
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
configure_file(packaging/copyright.in copyright @ONLY)

# The page's footer and the changelog name the version: they must agree.
file(STRINGS doc/chunkcat.1 page_os REGEX "^\\.Os ")
file(STRINGS doc/changelog changelog_top LIMIT_COUNT 1)
if(NOT page_os STREQUAL ".Os chunkcat ${PROJECT_VERSION}" OR
   NOT changelog_top MATCHES "^chunkcat \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/chunkcat.1 (.Os) and doc/changelog must name version ${PROJECT_VERSION}")
endif()

include(GNUInstallDirs)
# Folders 0755 whatever the umask of the user who installs or packages.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS chunkcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/chunkcat.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package's time stamps: SOURCE_DATE_EPOCH when the builder sets it,
# else the date of the changelog's top entry, as Debian's own tools take it,
# so that a release tarball outside git gives the same package as a clone.
file(STRINGS doc/changelog changelog_dates REGEX "^ -- .*>  ")
list(GET changelog_dates 0 changelog_date)
string(REGEX REPLACE "^ -- .*>  " "" changelog_date "${changelog_date}")
execute_process(COMMAND date -u -d "${changelog_date}" +%s OUTPUT_VARIABLE changelog_epoch
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chunkcat)
set(CPACK_PACKAGE_VENDOR "chunkcat developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print a file in chunks of 128 bytes")
set(CPACK_PACKAGE_DESCRIPTION [[
chunkcat reads a file 128 bytes at a time and writes each chunk to standard
output followed by a newline, then a closing text. Every byte is written as
it was read, and every failure to open, read or write is reported with its
own message and exit status.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "chunkcat developers <maintainers@chunkcat.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The source package is the tracked tree less the build folders; the release
# tarball is dist's, below.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
file(CONFIGURE OUTPUT package-config.cmake @ONLY CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "@changelog_epoch@")
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package-config.cmake)
# Only the binary package gets this, done by CPack to its staged files: a
# binary without the compiler's notes in .comment, as Debian's own packages
# are stripped.
file(CONFIGURE OUTPUT package-extras.cmake @ONLY CONTENT [[
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment
                          "${CPACK_TEMPORARY_DIRECTORY}@CPACK_PACKAGING_INSTALL_PREFIX@/@CMAKE_INSTALL_BINDIR@/chunkcat"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
]])
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/package-extras.cmake)
include(CPack)

# The release tarball: the committed tree, under chunkcat-VERSION/, with its
# checksum. git writes the same bytes for the same commit.
set(dist chunkcat-${PROJECT_VERSION}.tar.gz)
find_package(Git QUIET)
add_custom_target(dist
                  COMMAND ${GIT_EXECUTABLE} -C ${CMAKE_SOURCE_DIR} archive --format=tar.gz
                          --prefix=chunkcat-${PROJECT_VERSION}/ -o ${CMAKE_BINARY_DIR}/${dist} HEAD
                  COMMAND sha256sum ${dist} > ${dist}.sha256
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
