# Helpers shared by every module folder.
#
#   quillmere_module(<name> SOURCES ... HEADERS ... [PUBLIC_LINK ...] [PRIVATE_LINK ...] [REQUIRES ...])
#     builds libquillmere_<name>.so (target quillmere_<name>, alias quillmere::<name>) with
#     hidden symbols: only what the public headers mark QUILLMERE_<NAME>_API is exported
#     (the macro comes from the generated quillmere/<name>/export.hpp). Installs the
#     public HEADERS, export.hpp and a pkg-config file; headers under internal/ are never
#     installed. REQUIRES lists the pkg-config names of the public dependencies for the
#     .pc file.
#
#   quillmere_test(<name> SOURCES ... [LINK ...] [LABELS ...])
#     a GoogleTest program registered with CTest.

include(GenerateExportHeader)

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
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS;PUBLIC_LINK;PRIVATE_LINK;REQUIRES" ${ARGN})
  set(target quillmere_${name})
  # The sources are compiled once, into quillmere_<name>_objects; the shared library is
  # linked from those objects. A unit test of the module's internals (functions that are
  # not exported) links the objects in place of the library.
  set(objects quillmere_${name}_objects)
  add_library(${objects} OBJECT ${ARG_SOURCES})
  add_library(${target} SHARED $<TARGET_OBJECTS:${objects}>)
  add_library(quillmere::${name} ALIAS ${target})
  set_target_properties(${objects} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  set_target_properties(${target} PROPERTIES
    EXPORT_NAME ${name}
    OUTPUT_NAME quillmere_${name}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINKER_LANGUAGE CXX)
  string(TOUPPER ${name} upper)
  set(export_header ${PROJECT_BINARY_DIR}/include/quillmere/${name}/export.hpp)
  generate_export_header(${target}
    BASE_NAME QUILLMERE_${upper}
    EXPORT_MACRO_NAME QUILLMERE_${upper}_API
    EXPORT_FILE_NAME ${export_header})
  get_target_property(define_symbol ${target} DEFINE_SYMBOL)
  if(NOT define_symbol)
    set(define_symbol ${target}_EXPORTS)
  endif()
  target_compile_definitions(${objects} PRIVATE ${define_symbol})
  foreach(t IN ITEMS ${objects} ${target})
    target_include_directories(${t} PUBLIC $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>)
  endforeach()
  target_link_libraries(${objects} PUBLIC quillmere_common ${ARG_PUBLIC_LINK} ${ARG_PRIVATE_LINK})
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
  quillmere_install_headers(${name} ${ARG_HEADERS} ${export_header})

  set(QM_MODULE ${name})
  # The .pc file finds the prefix relative to itself, so an install with --prefix works.
  file(RELATIVE_PATH QM_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  list(JOIN ARG_REQUIRES " " QM_REQUIRES)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/quillmere-module.pc.in
                 ${PROJECT_BINARY_DIR}/pkgconfig/quillmere-${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/quillmere-${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

# Installs the listed public headers of module <name> under include/quillmere/<name>.
function(quillmere_install_headers name)
  foreach(header IN LISTS ARGN)
    if(header MATCHES "(^|/)internal/|_test\\.hpp$")
      message(FATAL_ERROR "quillmere_install_headers(${name}): ${header} is not a public header")
    endif()
  endforeach()
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillmere/${name})
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
