# quor_module_tests(<name> [DIR <folder>] LIBS <targets...>)
# Builds every tests/*.cpp of the calling folder (or every <folder>/*.cpp)
# into one GoogleTest program and registers its cases with CTest.
function(quor_module_tests name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "DIR" "LIBS" ${ARGN})
  if(NOT ARG_DIR)
    set(ARG_DIR tests)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(${name}_tests ${sources})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  quor_headers(${name}_tests ${folder}/${ARG_DIR}/*.h)
  target_link_libraries(${name}_tests PRIVATE ${ARG_LIBS} QuorTesting GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(${name}_tests PRIVATE
    QUOR_TEST_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}/${ARG_DIR}/data"
    QUOR_LIB_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}"
    QUOR_BIN_DIR="${CMAKE_RUNTIME_OUTPUT_DIRECTORY}"
    QUOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
