# Install rules, the Debian package (CPack) and the source release (dist).

# The top entry of the changelog names the version and gives the release
# date, from which the manual's date and the package's time stamps come, as
# Debian's own tools take them, so that a build outside git gives the same.
file(STRINGS doc/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^chunkcat \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog: the top entry must be for version ${PROJECT_VERSION}")
endif()
file(STRINGS doc/changelog changelog_dates REGEX "^ -- .*>  ")
list(GET changelog_dates 0 changelog_date)
string(REGEX REPLACE "^ -- .*>  " "" changelog_date "${changelog_date}")
# CMake reads no date, and busybox's date not this form, so the seconds
# since 1970 are counted here: the days since then, by the Gregorian
# calendar in years that start in March (the leap day comes last), then the
# time, less the offset from UTC with its sign.
set(months January February March April May June July August September October November December)
string(REGEX MATCH "^[A-Z][a-z][a-z], ([0-9]+) ([A-Z][a-z][a-z]) ([0-9]+) ([0-9]+):([0-9]+):([0-9]+) ([-+])([0-9][0-9])([0-9][0-9])$"
       rfc5322 "${changelog_date}")
set(abbreviations Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND abbreviations "${CMAKE_MATCH_2}" month)
if(NOT rfc5322 OR month EQUAL -1)
  message(FATAL_ERROR "doc/changelog: the top entry's date is not as date -R writes it: ${changelog_date}")
endif()
set(year ${CMAKE_MATCH_3})
if(month LESS 2)
  math(EXPR year "${year} - 1")
endif()
math(EXPR day_of_year "(153 * ((${month} + 10) % 12) + 2) / 5 + ${CMAKE_MATCH_1} - 1")
math(EXPR days "${year} * 365 + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${day_of_year} - 719468")
math(EXPR changelog_epoch "${days} * 86400 + ${CMAKE_MATCH_4} * 3600 + ${CMAKE_MATCH_5} * 60 \
+ ${CMAKE_MATCH_6} - ${CMAKE_MATCH_7}1 * (${CMAKE_MATCH_8} * 3600 + ${CMAKE_MATCH_9} * 60)")
# The manual's date, in UTC: CMake formats the time that SOURCE_DATE_EPOCH
# holds, in numbers, and the month is named here, in English.
set(builder_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} ${changelog_epoch})
string(TIMESTAMP page_day "%m;%d;%Y" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${builder_epoch}")
list(POP_FRONT page_day page_month page_mday page_year)
math(EXPR page_month "${page_month} - 1")
math(EXPR page_mday "${page_mday}")
list(GET months ${page_month} page_month)
set(page_date "${page_month} ${page_mday}, ${page_year}")
configure_file(doc/chunkcat.1.in chunkcat.1 @ONLY)

include(GNUInstallDirs)
set(CHUNKCAT_INSTALL_LICENSEDIR ${CMAKE_INSTALL_DOCDIR} CACHE STRING
    "Where the licence is installed, relative to the prefix; empty: not installed")
set(installed_dirs ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1 ${CMAKE_INSTALL_DOCDIR}
                   ${CMAKE_INSTALL_DOCDIR}/examples ${CHUNKCAT_INSTALL_LICENSEDIR})
# Folders 0755 whatever the umask of whoever installs: the installer would
# make the missing ones under it (0700 under umask 077), so each is made
# here first, from the top down. Folders that exist are left as they are;
# a relative DESTDIR stands under the current folder, as for the installer.
# Nothing is made for a program that is not built: the install fails first.
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
# What upstream projects install, as plain files: a distribution's own tools
# compress and rename them to its taste, as the Debian package below does.
install(TARGETS chunkcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/chunkcat.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES doc/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES examples/sample.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
if(NOT CHUNKCAT_INSTALL_LICENSEDIR STREQUAL "")
  install(FILES LICENSE DESTINATION ${CHUNKCAT_INSTALL_LICENSEDIR})
endif()

# The licence in Debian's machine-readable copyright format, for the package:
# its text indented by one blank, with "." for each empty line.
file(READ LICENSE licence_text)
string(REGEX REPLACE "^[^\n]*\n\n" "" licence_text "${licence_text}")
string(STRIP "${licence_text}" licence_text)
string(REPLACE "\n\n" "\n.\n" licence_text "${licence_text}")
string(REPLACE "\n" "\n " licence_text "${licence_text}")
configure_file(packaging/copyright.in copyright @ONLY)
# Only the package compresses: gzip is looked for, and needed, there.
find_program(GZIP gzip)

# The package's summary is the project's description.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chunkcat)
set(CPACK_PACKAGE_VENDOR "chunkcat developers")
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
file(CONFIGURE OUTPUT package-config.cmake @ONLY CONTENT [[
if("$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "@changelog_epoch@")
endif()
]])
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package-config.cmake)
# Done by CPack to its staged files, to give them Debian's shape: a binary
# without the compiler's notes in .comment, as Debian's own packages are
# stripped; the manual page and the changelog compressed, where -n keeps
# the name and time stamp out, so that the same text gives the same bytes;
# the licence as the copyright file.
file(CONFIGURE OUTPUT package-extras.cmake @ONLY CONTENT [[
set(staged "${CPACK_TEMPORARY_DIRECTORY}@CPACK_PACKAGING_INSTALL_PREFIX@")
execute_process(COMMAND "@CMAKE_STRIP@" --remove-section=.comment "${staged}/@CMAKE_INSTALL_BINDIR@/chunkcat"
                COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS "@GZIP@")
  message(FATAL_ERROR "gzip is missing (Debian: gzip): the package compresses its manual page and changelog")
endif()
execute_process(COMMAND "@GZIP@" -9n "${staged}/@CMAKE_INSTALL_MANDIR@/man1/chunkcat.1"
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
# cpack in the build folder, and the package target, build the package as
# CMake users expect. CPack gives the members of the .deb the modes of the
# files it writes, which follow the umask: the deb target, which the package
# workflow builds, runs cpack under umask 022, so that any caller gets the
# same bytes. dist is the one source release: CPack's is not configured.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(deb COMMAND sh -c "umask 022 && exec \"$0\" --config CPackConfig.cmake"
                              ${CMAKE_CPACK_COMMAND}
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
add_dependencies(deb chunkcat)

# The release tarball: the committed tree, under chunkcat-VERSION/, with its
# checksum; release/dist.sh refuses what would not match the commit.
find_package(Git QUIET)
add_custom_target(dist COMMAND sh ${CMAKE_SOURCE_DIR}/release/dist.sh "${GIT_EXECUTABLE}"
                               ${CMAKE_SOURCE_DIR} chunkcat-${PROJECT_VERSION}
                  WORKING_DIRECTORY ${CMAKE_BINARY_DIR} VERBATIM)
