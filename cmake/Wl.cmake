# wl_library(<target> [LIBS ...]): a static library of every .cpp/.h in the calling folder
# (not its subfolders), its folder on the include path of those who link it.
function(wl_library target)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${target} PUBLIC ${ARG_LIBS})
endfunction()

# wl_tests(LIBS ...): one test program for every tst_*.cpp in the calling folder.
# Helpers of the folder (non-tst_ .cpp files) are compiled into each of them.
function(wl_tests)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/tst_*.cpp)
  file(GLOB helpers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER helpers EXCLUDE REGEX "/tst_[^/]*\\.cpp$")
  if(NOT TARGET tests_${ARG_LABEL})
    add_custom_target(tests_${ARG_LABEL})
  endif()
  foreach(t ${tests})
    get_filename_component(name ${t} NAME_WE)
    add_executable(${name} ${t} ${helpers})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} wl_testsupport Qt6::Test)
    add_dependencies(tests_${ARG_LABEL} ${name})
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      TIMEOUT ${ARG_TIMEOUT}
      LABELS "${ARG_LABEL}"
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;WL_SOURCE_DIR=${PROJECT_SOURCE_DIR};WL_BUILD_DIR=${PROJECT_BINARY_DIR}")
  endforeach()
endfunction()
