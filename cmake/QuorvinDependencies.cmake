# Every outside library comes from a Debian 12 package (scripts/install-deps).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

set(Boost_NO_WARN_NEW_VERSIONS ON)
find_package(Boost 1.81 EXACT REQUIRED COMPONENTS json url)
# Asio with coroutines, no deprecated interfaces.
add_library(quorvin_boost INTERFACE)
target_link_libraries(quorvin_boost INTERFACE Boost::headers Boost::json Boost::url Threads::Threads)
# Coroutine frames are plain heap blocks: Asio 1.81 recycles them through a per-thread cache
# that a coroutine resumed on another pool thread can reach while that thread uses it
# (ThreadSanitizer: a race in thread_info_base::allocate under quorvin-server --threads 2,
# seen as heap corruption). Set for every target, as the frame allocator must match everywhere.
target_compile_definitions(quorvin_boost INTERFACE BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_HAS_CO_AWAIT
                                                   BOOST_ASIO_DISABLE_AWAITABLE_FRAME_RECYCLING)

find_package(simdjson REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(LibArchive REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc)
find_package(CLI11 CONFIG REQUIRED)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

if(QUORVIN_GUI)
  find_package(Qt6 COMPONENTS Widgets)
  if(NOT Qt6_FOUND)
    message(STATUS "Qt 6 not found: the desktop front end is not built")
    set(QUORVIN_GUI OFF)
  endif()
endif()
if(QUORVIN_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QUORVIN_BENCH)
  find_package(benchmark REQUIRED)
endif()
