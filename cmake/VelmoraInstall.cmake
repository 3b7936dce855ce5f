# What `cmake --install` delivers of the Avatar API: the shared library, the public headers, a CMake package
# (find_package(velmora CONFIG) gives velmora::velmora) and a pkg-config file; tarnhost and its plug-in are
# installed by their own folder. Programs of this tree add their own install(TARGETS ...) rules.
include(CMakePackageConfigHelpers)

set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velmora)
velmora_install_rpath(velmora_shared)  # it needs only the system's libraries
install(TARGETS velmora_shared EXPORT velmoraTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/velmora DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        COMPONENT velmora_headers)
install(EXPORT velmoraTargets NAMESPACE velmora:: DESTINATION ${VELMORA_CMAKE_DIR})

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/velmoraConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/velmoraConfig.cmake INSTALL_DESTINATION ${VELMORA_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/velmoraConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/velmoraConfig.cmake ${CMAKE_BINARY_DIR}/velmoraConfigVersion.cmake
        DESTINATION ${VELMORA_CMAKE_DIR})

# The pkg-config file finds the installation from its own place, so any --prefix given at install time holds.
file(RELATIVE_PATH VELMORA_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
configure_file(${CMAKE_SOURCE_DIR}/cmake/velmora.pc.in ${CMAKE_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/velmora.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
