# Builds the Debian package and checks it as Debian checks its own: lintian must find no error
# and no warning, the manual pages must be gzip-compressed and the programs stripped, and the
# description must name every command of varnstow-tool.
# Run by CTest: cmake -DBUILD_DIR=... -DWORK_DIR=... -DCPACK=... -P Lintian_test.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}\n${errors}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

find_program(DPKG_DEB dpkg-deb)
find_program(LINTIAN lintian)
if(NOT DPKG_DEB OR NOT LINTIAN)
  message("SKIPPED: dpkg-deb or lintian is not installed (scripts/setup.sh installs both)")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
run("${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}/package")
file(GLOB package "${WORK_DIR}/package/*.deb")
list(LENGTH package count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one package, found: ${package}")
endif()

# Errors and warnings fail the run; the tags lintian shows for information are listed.
run("${LINTIAN}" --fail-on error,warning --display-info "${package}")
message("lintian: ${output}")
if(output MATCHES "(^|\n)[EW]: ")
  message(FATAL_ERROR "lintian found errors or warnings:\n${output}")
endif()

run("${DPKG_DEB}" --field "${package}" Description)
foreach(command render list prepare recover histogram)
  if(NOT output MATCHES "${command}")
    message(FATAL_ERROR "the description does not mention ${command}:\n${output}")
  endif()
endforeach()

run("${DPKG_DEB}" --extract "${package}" "${WORK_DIR}/extracted")
set(root "${WORK_DIR}/extracted")
foreach(page varnstow varnstow-tool)
  file(READ "${root}/usr/share/man/man1/${page}.1.gz" head LIMIT 2 HEX)
  if(NOT head STREQUAL "1f8b")
    message(FATAL_ERROR "${page}.1.gz is not gzip-compressed (it starts with ${head})")
  endif()
endforeach()
file(READ "${root}/usr/share/doc/varnstow/copyright" copyright)
if(NOT copyright MATCHES "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
  message(FATAL_ERROR "the copyright file is not in Debian's format:\n${copyright}")
endif()
# A stripped program has no symbol table: its section names do not hold .symtab.
foreach(program varnstow varnstow-tool)
  file(STRINGS "${root}/usr/bin/${program}" names REGEX "^\\.symtab$")
  if(names)
    message(FATAL_ERROR "${program} is not stripped")
  endif()
endforeach()
message("package ${package} passes lintian")
