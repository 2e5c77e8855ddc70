# One target per layer: qv_<name>, a static library of every .cpp in src/<name>,
# linking only the layers named in DEPS (which must be below it). A layer with no
# sources yet is an interface target so the chain of dependencies already holds.
function(qv_layer name)
  cmake_parse_arguments(L "" "" "DEPS;LIBS;INCLUDES" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(srcs)
    add_library(qv_${name} STATIC ${srcs})
    target_include_directories(qv_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
                                                 ${PROJECT_BINARY_DIR}/generated ${L_INCLUDES})
    target_link_libraries(qv_${name} PUBLIC ${L_DEPS} ${L_LIBS})
    set_target_properties(qv_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  else()
    add_library(qv_${name} INTERFACE)
    target_include_directories(qv_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include
                                                    ${PROJECT_BINARY_DIR}/generated ${L_INCLUDES})
    target_link_libraries(qv_${name} INTERFACE ${L_DEPS} ${L_LIBS})
  endif()
endfunction()

# One test executable per layer: every .cpp in tests/<name>, with the shared test main
# that gives each test its own QELVORLENT_HOME, QELVORLENT_REGISTRY and TMP.
function(qv_layer_tests name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(test_${name} ${srcs})
  target_link_libraries(test_${name} PRIVATE qv_${name} qv_testmain ${T_LIBS})
  target_compile_definitions(test_${name} PRIVATE QV_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
                                                  QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS ${name})
endfunction()
