# kel_package(NAME DEPS...): a static library from the package's src/ tree and,
# when tests are on, one GoogleTest executable from its tests/ folder.
function(kel_package name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/src/bin/")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  if(KEL_BUILD_TESTS)
    file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tests/*.cpp)
    if(test_sources)
      add_executable(${name}_tests ${test_sources})
      target_link_libraries(${name}_tests PRIVATE ${name} ${ARG_TEST_DEPS} GTest::gtest GTest::gtest_main)
      target_compile_definitions(${name}_tests PRIVATE
        KEL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
      gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60
        PROPERTIES ENVIRONMENT "KEL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    endif()
  endif()
endfunction()
