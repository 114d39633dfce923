# Warning flags shared by every target of the project.
set(DRAVIK_WARNINGS -Wall -Wextra -Wno-unused-parameter)
if(DRAVIK_WERROR)
  list(APPEND DRAVIK_WARNINGS -Werror)
endif()
add_compile_options(${DRAVIK_WARNINGS})

if(DRAVIK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(DRAVIK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# Adds one GoogleTest executable per test source file, so that each concern's tests build and run
# on their own. NAME_PREFIX keeps the test names of the folders apart.
function(dravik_add_tests NAME_PREFIX)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  foreach(src IN LISTS T_SOURCES)
    get_filename_component(stem ${src} NAME_WE)
    set(target ${NAME_PREFIX}_${stem})
    add_executable(${target} ${src})
    target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
    # One label per test: a list does not survive gtest_discover_tests' properties.
    set(labels ${T_LABELS})
    if(stem MATCHES "concurrency")
      set(labels concurrency)
    endif()
    gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${labels}" TIMEOUT 300)
  endforeach()
endfunction()
