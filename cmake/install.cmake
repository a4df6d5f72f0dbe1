# Installation of the harness as a CMake package (zunoConfig.cmake with the
# exported zuno:: targets and the discovery module) and as pkg-config files.

include(CMakePackageConfigHelpers)

set(ZUNO_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/zuno")

install(TARGETS zuno_rt zuno_test zuno_test_main EXPORT zunoTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
        INCLUDES DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
install(FILES
        "${PROJECT_SOURCE_DIR}/library/test/include/zuno/test.hpp"
        "${PROJECT_SOURCE_DIR}/library/test/include/zuno/body_result.hpp"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}/zuno")
install(EXPORT zunoTargets NAMESPACE zuno:: DESTINATION "${ZUNO_CMAKE_DIR}")

configure_package_config_file("${PROJECT_SOURCE_DIR}/cmake/zunoConfig.cmake.in"
    "${PROJECT_BINARY_DIR}/zunoConfig.cmake" INSTALL_DESTINATION "${ZUNO_CMAKE_DIR}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/zunoConfigVersion.cmake"
    VERSION "${PROJECT_VERSION}" COMPATIBILITY SameMinorVersion)
install(FILES
        "${PROJECT_BINARY_DIR}/zunoConfig.cmake"
        "${PROJECT_BINARY_DIR}/zunoConfigVersion.cmake"
        "${PROJECT_SOURCE_DIR}/cmake/zunoDiscoverTests.cmake"
        "${PROJECT_SOURCE_DIR}/cmake/zunoAddTests.cmake"
        DESTINATION "${ZUNO_CMAKE_DIR}")

# The .pc files find the prefix from their own location, so they stay right
# whatever prefix `cmake --install --prefix` chooses.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
    message(FATAL_ERROR "CMAKE_INSTALL_LIBDIR must be relative to the install prefix")
endif()
file(RELATIVE_PATH ZUNO_PC_PREFIX_FROM_PCDIR "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" ZUNO_PC_PREFIX_FROM_PCDIR "${ZUNO_PC_PREFIX_FROM_PCDIR}")
foreach(pc zuno-test zuno-test-main)
    configure_file("${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in" "${PROJECT_BINARY_DIR}/${pc}.pc" @ONLY)
    install(FILES "${PROJECT_BINARY_DIR}/${pc}.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endforeach()
