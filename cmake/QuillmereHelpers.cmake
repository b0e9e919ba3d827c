# Helpers shared by every module folder.
#
#   quillmere_module(<name> SOURCES ... [PUBLIC_LINK ...] [PRIVATE_LINK ...] [REQUIRES ...])
#     builds libquillmere_<name>.so (target quillmere_<name>, alias quillmere::<name>),
#     installs the folder's public headers and a pkg-config file. REQUIRES lists the
#     pkg-config names of the public dependencies for the .pc file.
#
#   quillmere_test(<name> SOURCES ... [LINK ...] [LABELS ...])
#     a GoogleTest program registered with CTest.

set(QUILLMERE_EXPORT_SET quillmereTargets)

# Every module, in dependency order (calvane and pemrith after ostrel and morvish).
set(QUILLMERE_MODULES ostrel tindral morvish calvane pemrith sendrum ludrake graviel Brastow adapters)

# Links a program (the command, a benchmark, a fuzzer) with every module.
function(quillmere_link_all_modules target)
  foreach(module IN LISTS QUILLMERE_MODULES)
    target_link_libraries(${target} PRIVATE quillmere::${module})
  endforeach()
endfunction()

function(quillmere_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LINK;PRIVATE_LINK;REQUIRES" ${ARGN})
  set(target quillmere_${name})
  add_library(${target} SHARED ${ARG_SOURCES})
  add_library(quillmere::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME quillmere_${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  target_link_libraries(${target} PUBLIC quillmere_common ${ARG_PUBLIC_LINK} PRIVATE ${ARG_PRIVATE_LINK})
  # Clang leaves the sanitizer and coverage runtimes to the executable: a sanitised
  # shared library built with clang has undefined references by design.
  if(NOT (CMAKE_CXX_COMPILER_ID MATCHES "Clang" AND (QUILLMERE_SANITIZE OR QUILLMERE_BUILD_FUZZ)))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
  # A module that links other modules loads them with it, even where it uses only their
  # headers (enumeration values): keep them as needed libraries.
  if(ARG_PUBLIC_LINK MATCHES "quillmere::")
    target_link_options(${target} PRIVATE "LINKER:--no-as-needed")
  endif()
  install(TARGETS ${target} EXPORT ${QUILLMERE_EXPORT_SET}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  quillmere_install_headers(${name})

  set(QM_MODULE ${name})
  # The .pc file finds the prefix relative to itself, so an install with --prefix works.
  file(RELATIVE_PATH QM_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  list(JOIN ARG_REQUIRES " " QM_REQUIRES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quillmere-module.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/quillmere-${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/quillmere-${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

function(quillmere_install_headers name)
  install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmere/${name}
          FILES_MATCHING PATTERN "*.hpp"
          PATTERN "*_test*" EXCLUDE
          PATTERN "testdata" EXCLUDE
          PATTERN "internal" EXCLUDE)
endfunction()

function(quillmere_test name)
  if(NOT QUILLMERE_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} quillmere_common GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_LABELS)
    set(ARG_LABELS unit)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
endfunction()

function(quillmere_install_package)
  install(EXPORT ${QUILLMERE_EXPORT_SET}
          NAMESPACE quillmere::
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quillmereConfig.cmake.in
    ${PROJECT_BINARY_DIR}/quillmereConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/quillmereConfig.cmake
                ${PROJECT_BINARY_DIR}/quillmereConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillmere)
endfunction()
