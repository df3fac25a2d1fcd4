# Warnings and sanitizers for every target of the project, through one interface target.
add_library(quorvin_options INTERFACE)
target_compile_options(quorvin_options INTERFACE -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)
if(QUORVIN_WERROR)
  target_compile_options(quorvin_options INTERFACE -Werror)
endif()
if(QUORVIN_SANITIZE)
  target_compile_options(quorvin_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                   -fno-sanitize-recover=undefined)
  target_link_options(quorvin_options INTERFACE -fsanitize=address,undefined)
endif()
if(QUORVIN_TSAN)
  target_compile_options(quorvin_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(quorvin_options INTERFACE -fsanitize=thread)
endif()
if(QUORVIN_FUZZ)
  # The libraries under test need coverage instrumentation and ASan too, or libFuzzer
  # only sees the harness and overflows inside a parser go unnoticed.
  target_compile_options(quorvin_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                                   -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(quorvin_options INTERFACE -fsanitize=address,undefined)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 warns on valid coroutine code in Asio's headers.
  target_compile_options(quorvin_options INTERFACE -Wno-mismatched-new-delete -Wno-maybe-uninitialized)
endif()

# Adds a static library for one folder of src/ (or server/), linked with the common options.
function(quorvin_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC quorvin_options ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()
