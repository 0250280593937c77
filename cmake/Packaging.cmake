# Debian packages from the install components, built by `cpack -G DEB`
# (scripts/package): the runtime library, its -dev package and the tools.
# Each package's dependencies on Debian's libraries come from dpkg-shlibdeps.
set(ORVO_RUNTIME_PACKAGE liborvo-push${PROJECT_VERSION_MAJOR})

# Every Debian package carries the licence as its copyright file.
foreach(component_package runtime:${ORVO_RUNTIME_PACKAGE} dev:liborvo-push-dev
                          tools:orvo-push-tools)
  string(REPLACE ":" ";" pair ${component_package})
  list(GET pair 0 component)
  list(GET pair 1 package)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME copyright COMPONENT ${component})
endforeach()

set(CPACK_PACKAGE_NAME orvo-push)
set(CPACK_PACKAGE_VENDOR "orvo-push developers")
set(CPACK_PACKAGE_CONTACT "orvo-push developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools need the library of this build, which no installed package has yet.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${ORVO_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
# Each description's first line is its package's summary (no common
# CPACK_PACKAGE_DESCRIPTION_SUMMARY, which CPack would put in front of all).
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "Client library for the orvo push-notification service\nThe shared library an application links: the push manager, its receiver protocol, notification records and the service extension.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME liborvo-push-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Client library for the orvo push-notification service (development files)\nHeaders, the CMake package (find_package(OrvoPush)), the pkg-config module orvo-push and the OrvoPush::testing doubles for an application's unit tests.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME orvo-push-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "Receiver emulator and simulated devices for orvo-push\norvo-emulator serves every server the library talks to on one loopback port, with an admin API, fault injection and a browser console; orvo-sim runs simulated devices and scenarios against it.")

include(CPack)
