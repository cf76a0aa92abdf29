# Warnings on our own code only; as errors when ZEPR_WERROR is on (the test command), so that
# a packager's build type or a newer compiler is never stopped by a new warning.
function(zepr_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-missing-field-initializers)
  # g++ 12 at -O3 reports overlapping copies inside std::string that cannot happen (its bug
  # 105651): every "text" + std::string would stop a Release build.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(ZEPR_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# One static library per source folder.
function(zepr_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  zepr_warnings(${name})
endfunction()

# zepr_test(name LABEL unit|integration|e2e|gui SOURCES ... LIBS ... [ENV ...] [RUN_SERIAL])
# Each gtest case becomes its own CTest test, so ctest -j spreads them.
function(zepr_test name)
  cmake_parse_arguments(ARG "RUN_SERIAL" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  zepr_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(WIN32)
    # Under Wine every start costs about a second, so one CTest test per program, not per case.
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
      FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT "WINEPREFIX=${ZEPR_WINEPREFIX};WINEDEBUG=-all;ZEPR_BUILD_DIR=${PROJECT_BINARY_DIR};ZEPR_SOURCE_DIR=${PROJECT_SOURCE_DIR};${ARG_ENV}")
    return()
  endif()
  set(props LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
  if(ARG_RUN_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
  # Passed through PROPERTIES, a list of variables arrives split into stray property names, so
  # the environment is set on the discovered tests by a file CTest reads after them.
  set(env ZEPR_BUILD_DIR=${PROJECT_BINARY_DIR} ZEPR_SOURCE_DIR=${PROJECT_SOURCE_DIR}
          ZEPR_WINDOWS_BUILD_DIR=${ZEPR_WINDOWS_BUILD_DIR} ${ARG_ENV})
  set(env_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
  file(WRITE ${env_file} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} "
                         "PROPERTIES ENVIRONMENT [==[${env}]==])\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${env_file})
endfunction()
