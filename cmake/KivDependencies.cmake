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
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavcodec libavutil)
pkg_check_modules(X264 REQUIRED IMPORTED_TARGET x264)
pkg_check_modules(PULSE REQUIRED IMPORTED_TARGET libpulse)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-shm xcb-damage xcb-xfixes xcb-randr xcb-xtest xcb-dpms xcb-res)
pkg_check_modules(DBUS REQUIRED IMPORTED_TARGET dbus-1)
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)   # libyuv-dev ships no .pc or CMake config
find_library(LIBYUV_LIBRARY yuv REQUIRED)
if(NOT TARGET kiv::yuv)
  add_library(kiv::yuv UNKNOWN IMPORTED)
  set_target_properties(kiv::yuv PROPERTIES IMPORTED_LOCATION ${LIBYUV_LIBRARY} INTERFACE_INCLUDE_DIRECTORIES ${LIBYUV_INCLUDE_DIR})
endif()

if(KIV_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(KIV_BUILD_BENCH)
  find_package(benchmark CONFIG REQUIRED)
endif()

# The web link: Boost.Beast over Boost.Asio (header-only) with OpenSSL, and libqrencode for its address.
find_package(Boost 1.74 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)

# Wayland desktops: the client library, xkbcommon for the virtual keyboard's keymap, and
# wayland-scanner for the protocols (the standard ones from wayland-protocols, the wlroots ones
# described in KivHostCore/Linux/protocols).
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_get_variable(WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
if(NOT WAYLAND_PROTOCOLS_DIR)
  message(FATAL_ERROR "wayland-protocols not found (install wayland-protocols)")
endif()

# GNOME's compositor: its screen-cast and remote-desktop services over GDBus, the pictures over PipeWire.
pkg_check_modules(GNOME_DESKTOP REQUIRED IMPORTED_TARGET gio-2.0 libpipewire-0.3)

# kiv_wayland_protocol(<target> <xml>...): a static library of the client code generated from each file.
function(kiv_wayland_protocols target)
  set(sources)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  file(MAKE_DIRECTORY ${dir})
  foreach(xml IN LISTS ARGN)
    get_filename_component(base ${xml} NAME_WE)
    add_custom_command(OUTPUT ${dir}/${base}-client.h
      COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${dir}/${base}-client.h DEPENDS ${xml} VERBATIM)
    add_custom_command(OUTPUT ${dir}/${base}-protocol.c
      COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${dir}/${base}-protocol.c DEPENDS ${xml} VERBATIM)
    list(APPEND sources ${dir}/${base}-client.h ${dir}/${base}-protocol.c)
  endforeach()
  add_library(${target} STATIC ${sources})
  set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C POSITION_INDEPENDENT_CODE ON)
  target_include_directories(${target} PUBLIC ${dir})
  target_link_libraries(${target} PUBLIC PkgConfig::WAYLAND)
endfunction()
