# Installs the built project into a temporary root and builds its Debian package, and checks
# that both hold the two programs and their manual pages, and that the installed tool runs.
# Run by CTest: cmake -DBUILD_DIR=... -DWORK_DIR=... -DCPACK=... -P Package_test.cmake

set(expected usr/bin/varnstow usr/bin/varnstow-tool usr/share/man/man1/varnstow.1.gz
  usr/share/man/man1/varnstow-tool.1.gz usr/share/doc/varnstow/copyright
  usr/share/doc/varnstow/changelog.gz)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}\n${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

function(check_tree root)
  foreach(file IN LISTS expected)
    if(NOT EXISTS "${root}/${file}")
      message(FATAL_ERROR "${root} lacks ${file}")
    endif()
  endforeach()
  run("${root}/usr/bin/varnstow-tool" --version)
  if(NOT output MATCHES "^varnstow-tool [0-9]")
    message(FATAL_ERROR "the installed varnstow-tool said: ${output}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# cmake --install into a temporary root.
set(ENV{DESTDIR} "${WORK_DIR}/root")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /usr)
unset(ENV{DESTDIR})
check_tree("${WORK_DIR}/root")

# The Debian package.
find_program(DPKG_DEB dpkg-deb)
if(NOT DPKG_DEB)
  message("SKIPPED: dpkg-deb is not installed, so no Debian package can be built")
  return()
endif()
run("${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/package")
file(GLOB packages "${WORK_DIR}/package/*.deb")
list(LENGTH packages count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package, found: ${packages}")
endif()
run("${DPKG_DEB}" --field "${packages}" Package Depends)
if(NOT output MATCHES "Package: varnstow\n" OR NOT output MATCHES "zlib1g")
  message(FATAL_ERROR "unexpected package fields:\n${output}")
endif()
run("${DPKG_DEB}" --extract "${packages}" "${WORK_DIR}/extracted")
check_tree("${WORK_DIR}/extracted")
message("package ${packages} holds: ${expected}")
