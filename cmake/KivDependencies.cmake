# Dependency lookup. Libraries without CMake config files get imported targets here.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(nlohmann_json 3.11 CONFIG REQUIRED)
find_package(fmt 9 CONFIG REQUIRED)
find_package(CLI11 CONFIG REQUIRED)

find_path(ASIO_INCLUDE_DIR asio.hpp REQUIRED)
if(NOT TARGET kiv::asio)
  add_library(kiv::asio INTERFACE IMPORTED)
  target_include_directories(kiv::asio INTERFACE ${ASIO_INCLUDE_DIR})
  target_compile_definitions(kiv::asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_libraries(kiv::asio INTERFACE Threads::Threads)
endif()

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(DNSSD REQUIRED IMPORTED_TARGET avahi-compat-libdns_sd)

if(KIV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KIV_BUILD_BENCH)
  find_package(benchmark CONFIG REQUIRED)
endif()
