# With QUILLON_DEBIAN_FLAGS the programs are compiled and linked as Debian builds its packages:
# the flags of dpkg-buildflags with every hardening feature (stack protector, _FORTIFY_SOURCE,
# full RELRO with BIND_NOW, position-independent executables).
if(NOT QUILLON_DEBIAN_FLAGS)
  return()
endif()
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  message(FATAL_ERROR "QUILLON_DEBIAN_FLAGS needs dpkg-buildflags: install the package dpkg-dev "
                      "(scripts/install-deps.sh build does).")
endif()
foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
  # Run from the source directory: the file-prefix map it adds is made from that directory.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE DEBIAN_${kind}
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
string(APPEND CMAKE_C_FLAGS " ${DEBIAN_CPPFLAGS} ${DEBIAN_CFLAGS}")
string(APPEND CMAKE_CXX_FLAGS " ${DEBIAN_CPPFLAGS} ${DEBIAN_CXXFLAGS}")
foreach(kind EXE SHARED MODULE)
  string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${DEBIAN_LDFLAGS}")
endforeach()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
