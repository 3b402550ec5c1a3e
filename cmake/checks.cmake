# Checks of this build beyond the suite, each a ctest test with a label, each
# runnable alone: ctest --preset check -L lint (or doc, memcheck, install,
# musl). Opt-in, with CHUNKCAT_CHECKS (the check preset), for they need tools
# that a build does not: README's list under More. A missing tool fails its
# test, named by ctest or by sh.

# lint: clang-tidy (its warnings are errors), cppcheck and clang-format.
add_test(NAME lint.clang_tidy
         COMMAND clang-tidy --quiet -p ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/src/chunkcat.cpp)
# A finding fails the test. An information line does not: cppcheck 2.17
# says so when it limits its analysis, and --error-exitcode counts that.
add_test(NAME lint.cppcheck COMMAND cppcheck --enable=warning,performance,portability --quiet
                                    "--template={file}:{line}: {severity}: {message} [{id}]"
                                    ${CMAKE_SOURCE_DIR}/src/)
set_tests_properties(lint.cppcheck PROPERTIES
                     FAIL_REGULAR_EXPRESSION ": (error|warning|style|performance|portability): ")
file(GLOB formatted CONFIGURE_DEPENDS src/*.cpp tests/*.cpp tests/*.hpp bench/*.cpp)
add_test(NAME lint.clang_format COMMAND clang-format --dry-run --Werror ${formatted})
set_tests_properties(lint.clang_tidy lint.cppcheck lint.clang_format PROPERTIES LABELS lint)

# doc: the manual page renders without a warning.
add_test(NAME doc.manual COMMAND sh -c [=[w=$(man --warnings -l "$0" 2>&1 >/dev/null); echo "$w"; [ -z "$w" ]]=]
                                 ${CMAKE_BINARY_DIR}/chunkcat.1)
set_tests_properties(doc.manual PROPERTIES LABELS doc)

# memcheck: no error and no leak on each way a run ends, with its status.
# Any line of valgrind's (==PID==) fails the test.
function(memcheck name status file out)
  add_test(NAME memcheck.${name}
           COMMAND sh -c "valgrind -q --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
--errors-for-leak-kinds=all --log-fd=3 \"$0\" \"$1\" 3>&2 >\"$2\" 2>/dev/null; s=$?; \
echo \"chunkcat $1 >$2: status $s\"; [ $s -eq ${status} ]" $<TARGET_FILE:chunkcat> ${file} ${out})
  set_tests_properties(memcheck.${name} PROPERTIES LABELS memcheck FAIL_REGULAR_EXPRESSION "==[0-9]+==")
endfunction()
memcheck(printed 0 ${CMAKE_SOURCE_DIR}/examples/sample.txt /dev/null)
memcheck(open_fails 1 /nonexistent/file /dev/null)
memcheck(read_fails 255 ${CMAKE_SOURCE_DIR}/examples /dev/null)
memcheck(write_fails 255 ${CMAKE_SOURCE_DIR}/examples/sample.txt /dev/full)

# install: with --prefix and a relative DESTDIR, which stands under the
# current folder, under umask 077: every file in place, uncompressed, in
# folders 0755, the program 0755 and other files 0644. Before a build, the
# install fails and makes no folder.
add_test(NAME install.modes
         COMMAND sh -c [[cd "$0" && rm -rf install-check && (umask 077 && DESTDIR=install-check cmake --install . --prefix /opt/chunkcat) &&
                         sh "$1" install-check/opt/chunkcat bin/chunkcat share/man/man1/chunkcat.1 share/doc/chunkcat/LICENSE \
                            share/doc/chunkcat/changelog share/doc/chunkcat/examples/sample.txt]]
                 ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/cmake/expect-modes.sh)
add_test(NAME install.unbuilt
         COMMAND sh -c [[rm -rf "$1" && cmake -S "$0" -B "$1/build" -DBUILD_TESTING=OFF >/dev/null &&
                         ! DESTDIR="$1/stage" cmake --install "$1/build" && [ ! -e "$1/stage" ] && echo "nothing installed"]]
                 ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/unbuilt-check)
set_tests_properties(install.modes install.unbuilt PROPERTIES LABELS install)

# musl: a static musl build prints the same bytes and ends the same way.
add_test(NAME musl.same_as_glibc
         COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/musl-same.sh ${CMAKE_SOURCE_DIR}
                 $<TARGET_FILE:chunkcat> ${CMAKE_BINARY_DIR}/musl-check)
set_tests_properties(musl.same_as_glibc PROPERTIES LABELS musl)
