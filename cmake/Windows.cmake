# Windows, cross-built with mingw-w64 (cmake/toolchain-mingw-w64.cmake) and run under Wine.
# Included before the targets are made, so that each test program runs through Wine.

set(QUILLON_WINDOWS_CACHE "$ENV{QUILLON_WINDOWS_CACHE}" CACHE PATH
    "Where scripts/build-windows-qt.sh and scripts/build-windows-libusb.sh put their builds")
if(NOT QUILLON_WINDOWS_CACHE)
  set(QUILLON_WINDOWS_CACHE /var/cache/quillon-windows CACHE PATH "" FORCE)
endif()
set(QUILLON_WINDOWS_QT ${QUILLON_WINDOWS_CACHE}/qt)

# Programs and tests run under Wine with a prefix of their own in the build tree; Qt's DLLs
# are found in the cache.
set(QUILLON_WINEPREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${QUILLON_WINEPREFIX} ${QUILLON_WINDOWS_QT}/bin)

# Qt for mingw is not packaged: the window is built only when the Qt script has filled the
# cache. The host tools (moc, uic, rcc) are Debian's.
if(EXISTS ${QUILLON_WINDOWS_QT}/lib/cmake/Qt6/Qt6Config.cmake)
  list(APPEND CMAKE_FIND_ROOT_PATH ${QUILLON_WINDOWS_QT})
  list(APPEND CMAKE_PREFIX_PATH ${QUILLON_WINDOWS_QT})
  set(QT_HOST_PATH /usr)
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake)
  set(QUILLON_GUI_DEFAULT ON)
else()
  message(STATUS "No Qt for Windows in ${QUILLON_WINDOWS_QT}: the window is left out "
                 "(scripts/build-windows-qt.sh builds it)")
  set(QUILLON_GUI_DEFAULT OFF)
endif()

# libusb for WinUSB boards, static, when scripts/build-windows-libusb.sh has filled the cache;
# without it the Windows programs see boards on the board's own driver and virtual ones only.
set(QUILLON_WINDOWS_LIBUSB ${QUILLON_WINDOWS_CACHE}/libusb)
if(EXISTS ${QUILLON_WINDOWS_LIBUSB}/lib/libusb-1.0.a)
  add_library(quillon_windows_libusb STATIC IMPORTED GLOBAL)
  set_target_properties(quillon_windows_libusb PROPERTIES
    IMPORTED_LOCATION ${QUILLON_WINDOWS_LIBUSB}/lib/libusb-1.0.a
    INTERFACE_INCLUDE_DIRECTORIES ${QUILLON_WINDOWS_LIBUSB}/include/libusb-1.0)
else()
  message(STATUS "No libusb for Windows in ${QUILLON_WINDOWS_LIBUSB}: WinUSB boards are left "
                 "out (scripts/build-windows-libusb.sh builds it)")
endif()

# Windows 10 is the oldest system Quillon runs on.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)

# quillon_windows_resources(target description): the manifest (common controls 6, per-monitor
# DPI awareness, UTF-8 code page) and the version information of a program.
function(quillon_windows_resources target description)
  set(QUILLON_PROGRAM_NAME ${target})
  set(QUILLON_PROGRAM_DESCRIPTION "${description}")
  set(QUILLON_MANIFEST ${CMAKE_BINARY_DIR}/windows/quillon.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/res/windows/quillon.manifest ${QUILLON_MANIFEST} @ONLY)
  set(rc ${CMAKE_BINARY_DIR}/windows/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/res/windows/quillon.rc ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
