# The three Debian packages, built by CPack's DEB generator from the install
# components of this build tree (`cmake --build <tree> --target packages`):
# amd64 from the x86-64 build, i386 from the i686 build. Their library
# dependencies are computed by dpkg-shlibdeps.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(kv_deb_arch amd64)
else()
    set(kv_deb_arch i386)
endif()

# dpkg-shlibdeps learns which package provides libkvhelper.so (linked by
# kvagent-sim) from a package root beside the build: the library in its
# installed place and a symbols file naming korvane-libs at this version.
set(kv_shlibs_root ${CMAKE_CURRENT_BINARY_DIR}/shlibs-root)
if(TARGET kvhelper)
    file(STRINGS ${CMAKE_SOURCE_DIR}/helper/libkvhelper.map kv_map_lines REGEX "^ +[A-Za-z_][A-Za-z0-9_]*;")
    set(kv_symbols "libkvhelper.so korvane-libs (= ${KV_PRODUCT_VERSION})\n")
    foreach(line IN LISTS kv_map_lines)
        string(STRIP "${line}" name)
        string(REPLACE ";" "" name "${name}")
        string(APPEND kv_symbols " ${name}@Base ${KV_PRODUCT_VERSION}\n")
    endforeach()
    file(WRITE ${kv_shlibs_root}/DEBIAN/symbols "${kv_symbols}")
    add_custom_target(kv_shlibs_root ALL
        COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kvhelper> ${kv_shlibs_root}/opt/korvane/desktop/libkvhelper.so
        DEPENDS kvhelper)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${KV_PRODUCT_VERSION})
set(CPACK_PACKAGE_VENDOR "Korvane")
set(CPACK_PACKAGE_CONTACT "KorvaneGUARD packaging <packaging@korvane.com>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL korvane-desktop korvane-libs kvagent-sim)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kv_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${kv_shlibs_root}/opt/korvane/desktop)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_KORVANE-DESKTOP_PACKAGE_NAME korvane-desktop)
set(CPACK_DEBIAN_KORVANE-DESKTOP_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/debian/korvane-desktop/conffiles)
set(CPACK_COMPONENT_KORVANE-DESKTOP_DESCRIPTION
    "KorvaneGUARD desktop side: tray program and command-line tool
korvaneui shows the protection state of the KorvaneGUARD agent as a status
icon in every desktop session (started by the XDG autostart entry), with
notifications and a details window; korvanectl lets administrators query
the agent and ask it to scan, quarantine, waive or change its log level.")

set(CPACK_DEBIAN_KORVANE-LIBS_PACKAGE_NAME korvane-libs)
set(CPACK_DEBIAN_KORVANE-LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_KORVANE-LIBS_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/korvane-libs/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/korvane-libs/postrm)
set(CPACK_COMPONENT_KORVANE-LIBS_DESCRIPTION
    "KorvaneGUARD libraries loaded by the agent and by protected processes
libkvhelper (the agent service's D-Bus command server and system helpers),
libkvcefhelper (its updater subset), libmemdef (in-process memory defence)
and the message-queue RPC libraries libcefrpcclient and libcefrpcserver,
with their public C headers, a pkg-config file and the system-bus policy of
the agent service's name.")

set(CPACK_DEBIAN_KVAGENT-SIM_PACKAGE_NAME kvagent-sim)
set(CPACK_DEBIAN_KVAGENT-SIM_PACKAGE_SECTION misc)
# The system bus is a service it needs, not a library it links.
set(CPACK_DEBIAN_KVAGENT-SIM_PACKAGE_DEPENDS dbus)
set(CPACK_DEBIAN_KVAGENT-SIM_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kvagent-sim/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/kvagent-sim/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/kvagent-sim/postrm)
set(CPACK_COMPONENT_KVAGENT-SIM_DESCRIPTION
    "KorvaneGUARD simulated agent service (for tests and demonstrations only)
kvagent-sim stands in for the KorvaneGUARD agent service: it owns the
agent's name on the system bus and answers the front ends' commands from a
small state of its own, with a sample threat list. It protects nothing.
The systemd unit kvagent-sim.service starts it; it is not enabled on
installation.")

include(CPack)

# dpkg-shlibdeps looks up the libraries of the package's architecture.
add_custom_target(packages
    COMMAND ${CMAKE_COMMAND} -E env DEB_HOST_ARCH=${kv_deb_arch}
            ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    COMMENT "Building the ${kv_deb_arch} packages in ${CMAKE_BINARY_DIR}/packages"
    VERBATIM)
foreach(t korvanectl korvaneui kvhelper kvcefhelper memdef cefrpcclient cefrpcserver kvagent-sim
          kv_images kv_catalogues kv_gzipped_docs kv_shlibs_root)
    if(TARGET ${t})
        add_dependencies(packages ${t})
    endif()
endforeach()
