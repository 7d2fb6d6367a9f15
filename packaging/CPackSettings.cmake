# CPack: four Debian packages, one per install component (scripts/package).
# Descriptions: the summary on the first line, then the extended text without
# indentation, paragraphs separated by an empty line (CPack indents them).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME updater)
set(CPACK_PACKAGE_VENDOR Corvatek)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QW_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL updater libs dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QW_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://${QW_UPDATE_SERVER_HOST}/")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SOURCE updater)

set(_qw_lib libquillwork${PROJECT_VERSION_MAJOR})
set(_qw_exact "(= ${PROJECT_VERSION}-${QW_DEB_RELEASE})")

set(CPACK_DEBIAN_UPDATER_PACKAGE_NAME updater)
set(CPACK_DEBIAN_UPDATER_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_UPDATER_DESCRIPTION
    "Quillwork Update and Maintenance Application
updater keeps the firmware of Quillwork USB and network hub and controller
modules up to date: it discovers modules, lists and downloads firmware
builds from the update server, updates running modules directly or through
a routing module, and recovers modules through their chip's boot loader.

The package holds the program, its manual page, bash completion and the
udev rules that give the user at the seat access to the modules.")

set(CPACK_DEBIAN_LIBS_PACKAGE_NAME ${_qw_lib})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
# A shlibs file for the packages of programs linked to it; only this package
# holds a shared library. ldconfig runs from the trigger (CPack adds its own
# postinst and postrm calls as well).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIBS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/deb-libs/triggers)
set(CPACK_COMPONENT_LIBS_DESCRIPTION
    "Quillwork device link library
The library through which programs talk to Quillwork modules: module
packets and queues, links over USB, TCP/IP and serial lines, module
discovery, UEI messages and the Link, Module and entity classes.

This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquillwork-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${_qw_lib} ${_qw_exact}")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Quillwork device link library (development files)
The library through which programs talk to Quillwork modules: module
packets and queues, links over USB, TCP/IP and serial lines, module
discovery, UEI messages and the Link, Module and entity classes.

This package holds the headers, the pkg-config file quillwork.pc and the
CMake package (find_package(Quillwork), target Quillwork::quillwork).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillwork-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Quillwork module simulators, reference update server and BIRD tool
Tools to try the Quillwork updater and programs built on the device link
library without hardware: simulated modules on TCP/IP, serial lines and an
emulated USB bus (modulesim), a reference update server that serves
firmware builds from a directory (qw-update-server), a tool that packs and
inspects BIRD firmware files (birdtool), and, where built, the link server
and the boot-ROM simulators.")

include(CPack)
