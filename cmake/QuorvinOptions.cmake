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
  # Position independent: the program's commands are a loadable module built from these.
  set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC quorvin_options ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()

# Public halves of the release and notary keys, built into the program: the release key verifies
# updates and names the credential's build identity. The defaults are the test keys whose private
# halves live in tests/data/update; a real release passes its own (never commit those).
set(QUORVIN_RELEASE_PUBLIC_KEY "29aa0574e732aef78118f933070ce8941f69362388af1210c23cf5e86ced07a5"
    CACHE STRING "Ed25519 public key (64 hex digits) that signs release bundles")
set(QUORVIN_NOTARY_PUBLIC_KEY "c608a5fe192152e38e3f444b838bc41db2df0c75d7c6356c9b5f0dba48e7205e"
    CACHE STRING "Ed25519 public key (64 hex digits) that notarises release bundles")
foreach(key QUORVIN_RELEASE_PUBLIC_KEY QUORVIN_NOTARY_PUBLIC_KEY)
  string(LENGTH "${${key}}" length)
  if(NOT "${${key}}" MATCHES "^[0-9a-fA-F]+$" OR NOT length EQUAL 64)
    message(FATAL_ERROR "${key} must be 64 hex digits")
  endif()
endforeach()
