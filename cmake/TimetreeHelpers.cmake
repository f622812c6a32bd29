# The few settings every target of the project shares, written once.

# Warnings always; errors of them where TIMETREE_WERROR says so (CI).
function(timetree_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra
                         $<$<BOOL:${TIMETREE_WERROR}>:-Werror>)
endfunction()

# A C++ target of the project: C++17 without compiler extensions, and the
# warnings.
function(timetree_cxx target)
  set_target_properties(${target} PROPERTIES
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  timetree_warnings(${target})
endfunction()

# A component: a shared library libNAME.so.MAJOR beside the core library,
# alias timetree::EXPORT, with hidden symbols but those its version script
# (cmake/MAP) names.
#   timetree_component(target EXPORT name MAP file SOURCES ...)
function(timetree_component target)
  cmake_parse_arguments(arg "" "EXPORT;MAP" "SOURCES" ${ARGN})
  add_library(${target} SHARED ${arg_SOURCES})
  add_library(timetree::${arg_EXPORT} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${arg_EXPORT}
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  if(arg_MAP)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/${arg_MAP})
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS
      ${PROJECT_SOURCE_DIR}/cmake/${arg_MAP})
  endif()
  timetree_cxx(${target})
endfunction()

# A test program of GoogleTest cases, found by CTest.
# Its cases carry the CTest label LABEL (ctest -L LABEL runs them).
#   timetree_test(target LABEL label SOURCES ... LIBRARIES ...)
function(timetree_test target)
  cmake_parse_arguments(arg "" "LABEL" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} GTest::gtest_main)
  timetree_cxx(${target})
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${arg_LABEL}")
endfunction()

# A test that runs programs as a user would, in a folder of its own
# (hosts_out/FOLDER of the current build folder, emptied first, so that no
# file an earlier build left is read): each step a shell command, in which
# $DIR is the folder, and generator expressions name the programs. The test
# fails at the first step that fails (its status, which "! command" turns).
# The steps are written to host_tests/NAME.sh, which runs by itself too.
#   timetree_host_test(NAME FOLDER folder STEPS command ...)
function(timetree_host_test name)
  cmake_parse_arguments(arg "" "FOLDER" "STEPS" ${ARGN})
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/hosts_out/${arg_FOLDER})
  set(script "#!/bin/sh\n# The test ${name}, step by step.\nset -e\nDIR='${dir}'\n")
  string(APPEND script "rm -rf \"$DIR\"\nmkdir -p \"$DIR\"\n")
  # Each step's own status decides, whatever its form: set -e alone lets a
  # "! grep" or the first command of an "a && b" fail unseen.
  set(number 0)
  foreach(step IN LISTS arg_STEPS)
    math(EXPR number "${number} + 1")
    string(APPEND script "{ ${step}\n} || {\n  status=$?\n"
           "  echo \"${name}: step ${number} failed (status $status)\" >&2\n  exit 1\n}\n")
  endforeach()
  set(file ${CMAKE_CURRENT_BINARY_DIR}/host_tests/${name}.sh)
  file(GENERATE OUTPUT ${file} CONTENT "${script}")
  add_test(NAME ${name} COMMAND sh ${file})
endfunction()

# Installs a component: its library (and public header, if it has one), its
# CMake export set (EXPORT_SET, which timetreeConfig.cmake includes for the
# component) and its pkg-config file (cmake/PC.pc.in).
#   timetree_install_component(target EXPORT_SET name PC name)
function(timetree_install_component target)
  cmake_parse_arguments(arg "" "EXPORT_SET;PC" "" ${ARGN})
  # A component needs the core library, which a host's own run path does
  # not find for it: the pair is installed side by side, so the component
  # looks beside itself, wherever the prefix is (the system's folders need
  # no run path, and the Debian packages have none).
  list(FIND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES "${CMAKE_INSTALL_FULL_LIBDIR}" system)
  if(TIMETREE_ORIGIN_RPATH AND system EQUAL -1)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
  endif()
  install(TARGETS ${target} EXPORT ${arg_EXPORT_SET}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/timetree)
  install(EXPORT ${arg_EXPORT_SET} NAMESPACE timetree:: DESTINATION ${TIMETREE_CMAKE_DIR})
  if(arg_PC)
    timetree_install_pc(${arg_PC})
  endif()
endfunction()

# Installs share/modulefiles/timetree/VERSION (cmake/modulefile.in), a
# modulefile that Environment Modules and Lmod read, with the prefix the
# install goes to written in, as for the pkg-config files.
function(timetree_install_modulefile)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/modulefile.in ${PROJECT_BINARY_DIR}/modulefile.in
                 @ONLY)
  install(CODE "
    file(READ \"${PROJECT_BINARY_DIR}/modulefile.in\" text)
    string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/modulefile/${PROJECT_VERSION}\" \"\${text}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/modulefiles/timetree\"
         TYPE FILE FILES \"${PROJECT_BINARY_DIR}/modulefile/${PROJECT_VERSION}\")")
endfunction()

# Installs cmake/NAME.pc.in as NAME.pc. The prefix written into it is the one
# the install goes to (also "cmake --install --prefix DIR", which may differ
# from the configured one), so that pkg-config prints plain paths and leaves
# out the system's own -L.
function(timetree_install_pc name)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${name}.pc.in ${PROJECT_BINARY_DIR}/${name}.pc.in
                 @ONLY)
  install(CODE "
    file(READ \"${PROJECT_BINARY_DIR}/${name}.pc.in\" text)
    string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
    file(WRITE \"${PROJECT_BINARY_DIR}/pc/${name}.pc\" \"\${text}\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
         TYPE FILE FILES \"${PROJECT_BINARY_DIR}/pc/${name}.pc\")")
endfunction()
