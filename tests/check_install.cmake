# Installs the build in BUILD_DIR into a fresh PREFIX (cmake --install) or,
# with PACKAGE set, makes the Debian package in PREFIX (cpack) and lists it,
# and checks that exactly the programs, the examples and the man pages
# arrive, the programs runnable from there.
#   cmake -DBUILD_DIR=... -DPREFIX=... [-DPACKAGE=ON -DCPACK=cpack] -P check_install.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${PREFIX}")
file(MAKE_DIRECTORY "${PREFIX}")

set(expected
  bin/zorv_event
  bin/zorv_gen
  bin/zorv_mpi
  bin/zorv_spectra
  bin/zorv_window
  share/man/man1/zorv-report.1
  share/man/man1/zorv_gen.1
  share/man/man1/zorv_mpi.1
  share/man/man1/zorv_spectra.1
  share/man/man1/zorv_window.1
  share/man/man5/zorv_mpi.ini.5
  share/zorv/examples/win.txt
  share/zorv/examples/zorv_mpi.ini)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}: status ${status}\n${out}${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

if(PACKAGE)
  run("${CPACK}" --config "${BUILD_DIR}/CPackConfig.cmake" -B "${PREFIX}")
  file(GLOB debs "${PREFIX}/*.deb")
  list(LENGTH debs n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "expected one .deb in ${PREFIX}, found: ${debs}")
  endif()
  run(dpkg-deb --field "${debs}" Package Depends)
  message("${out}")
  run(dpkg-deb --contents "${debs}")
  # Lines "-rwxr-xr-x root/root ... ./usr/bin/zorv_mpi": the regular files.
  string(REGEX MATCHALL "\\./usr/[^\n]*[^/\n]\n" files "${out}")
  string(REPLACE "./usr/" "" files "${files}")
  string(REPLACE "\n" "" files "${files}")
else()
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}")
  file(GLOB_RECURSE files RELATIVE "${PREFIX}" "${PREFIX}/*")
  # The installed programs run: the kernel tool writes a 3-point kernel.
  run("${PREFIX}/bin/zorv_window" 3)
  if(NOT out MATCHES "^0 [0-9.e+-]+\n1 [0-9.e+-]+\n2 [0-9.e+-]+\n$")
    message(FATAL_ERROR "zorv_window 3 from ${PREFIX} printed:\n${out}")
  endif()
  run("${PREFIX}/bin/zorv_spectra" --help)
  foreach(program zorv_mpi zorv_gen)
    run("${PREFIX}/bin/${program}" --version)
    if(NOT out MATCHES "^${program} [^\n]+\n$")
      message(FATAL_ERROR "${program} --version from ${PREFIX} printed:\n${out}")
    endif()
  endforeach()
endif()

list(SORT files)
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${files}\nexpected:\n  ${expected}")
endif()
message("installed: ${files}")
