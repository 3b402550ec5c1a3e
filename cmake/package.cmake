# Install rules, the Debian package (CPack) and the source release (dist).

# The changelog's top entry names the version and the release date, read as
# Debian's tools read it: for the manual here, for the package's time stamps
# by dpkg-parsechangelog, so that a build outside git gives the same.
file(STRINGS doc/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^chunkcat \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog: the top entry must be for version ${PROJECT_VERSION}")
endif()
file(STRINGS doc/changelog changelog_dates REGEX "^ -- .*>  ")
list(GET changelog_dates 0 changelog_date)
if(NOT changelog_date MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9]+) [0-9:]+ [-+][0-9]+$")
  message(FATAL_ERROR "doc/changelog: the top entry's date is not as date -R writes it: ${changelog_date}")
endif()
math(EXPR page_mday "${CMAKE_MATCH_1}")
set(page_year ${CMAKE_MATCH_3})
string(REGEX MATCH "${CMAKE_MATCH_2}[a-z]*" page_month
       "January February March April May June July August September October November December")
set(page_date "${page_month} ${page_mday}, ${page_year}")
configure_file(doc/chunkcat.1.in chunkcat.1 @ONLY)

include(GNUInstallDirs)
set(CHUNKCAT_INSTALL_LICENSEDIR ${CMAKE_INSTALL_DOCDIR} CACHE STRING
    "Where the licence is installed, relative to the prefix; empty: not installed")
set(installed_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DOCDIR}
                   ${CMAKE_INSTALL_DOCDIR}/examples ${CHUNKCAT_INSTALL_LICENSEDIR})
# Folders 0755 whatever the umask: CMake makes missing ones under it (0700
# under umask 077, CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS too), so they
# are made here first, from the top down; those that exist are left as they
# are. Nothing is made for a program not built: the install fails first.
install(CODE "set(installed_dirs \"${installed_dirs}\")")
install(CODE [[
if(NOT EXISTS "$<TARGET_FILE:chunkcat>")
  message(FATAL_ERROR "$<TARGET_FILE:chunkcat> is not built: build before installing")
endif()
foreach(dir IN LISTS installed_dirs)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
  set(path "$ENV{DESTDIR}${dir}")
  cmake_path(ABSOLUTE_PATH path NORMALIZE)
  set(missing "")
  while(NOT IS_DIRECTORY "${path}")
    list(PREPEND missing "${path}")
    cmake_path(GET path PARENT_PATH path)
  endwhile()
  foreach(path IN LISTS missing)
    file(MAKE_DIRECTORY "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endforeach()
]])
# Plain files, which a distribution's tools compress and rename to its
# taste, as the Debian package below does.
install(TARGETS chunkcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/chunkcat.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES doc/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/sample.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
if(NOT CHUNKCAT_INSTALL_LICENSEDIR STREQUAL "")
  install(FILES LICENSE DESTINATION ${CHUNKCAT_INSTALL_LICENSEDIR})
endif()

# The licence in Debian's copyright format: indented, "." for empty lines.
file(READ LICENSE licence_text)
string(REGEX REPLACE "^[^\n]*\n\n" "" licence_text "${licence_text}")
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
configure_file(packaging/copyright.in copyright @ONLY)

# The package's summary is the project's description.
set(CPACK_GENERATOR DEB)
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
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Debian's shape, given to CPack's staged files: time stamps of the release
# date, unless the builder's SOURCE_DATE_EPOCH stands; the binary stripped of
# the compiler's notes in .comment, as Debian strips; the manual page and the
# changelog compressed, -n keeping the name and time out of the bytes; the
# licence as the copyright file.
file(CONFIGURE OUTPUT package-extras.cmake @ONLY CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  execute_process(COMMAND dpkg-parsechangelog -l "@CMAKE_SOURCE_DIR@/doc/changelog" -STimestamp
                  OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
endif()
set(staged "${CPACK_TEMPORARY_DIRECTORY}@CPACK_PACKAGING_INSTALL_PREFIX@")
execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment "${staged}/@CMAKE_INSTALL_BINDIR@/chunkcat"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND gzip -9n "${staged}/@CMAKE_INSTALL_MANDIR@/man1/chunkcat.1"
                                     "${staged}/@CMAKE_INSTALL_DOCDIR@/changelog"
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT "@CHUNKCAT_INSTALL_LICENSEDIR@" STREQUAL "")
  file(REMOVE "${staged}/@CHUNKCAT_INSTALL_LICENSEDIR@/LICENSE")
endif()
file(COPY "@CMAKE_BINARY_DIR@/copyright" DESTINATION "${staged}/@CMAKE_INSTALL_DOCDIR@"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/package-extras.cmake)
include(CPack)
# CPack gives the .deb's members the modes of the files it writes, which
# follow the umask: the deb target, which the package workflow builds, runs
# it under umask 022, so that any caller gets the same bytes. dist is the one
# source release: CPack's is not configured.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(deb COMMAND sh -c "umask 022 && exec \"$0\" --config CPackConfig.cmake"
                              ${CMAKE_CPACK_COMMAND}
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_dependencies(deb chunkcat)

# The release tarball: the committed tree, under chunkcat-VERSION/, with its
# checksum; packaging/dist.sh refuses what would not match the commit.
find_package(Git QUIET)
add_custom_target(dist COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/dist.sh "${GIT_EXECUTABLE}"
                               ${CMAKE_SOURCE_DIR} chunkcat-${PROJECT_VERSION}
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
