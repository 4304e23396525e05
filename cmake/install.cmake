# `cmake --install` of the C++ package: the public headers of velorium and
# lumora-core (not velorium/raw/ and velorium/internal/, which are private
# to the library, nor the writer's velorium/mzml/), the two
# static libraries, and a CMake package so that a consumer's
#
#   find_package(velorium 1 REQUIRED)
#   target_link_libraries(app PRIVATE velorium::velorium)
#
# gets the include directory, C++23, and the libraries velorium needs at
# link time (lumora_core, pugixml, Threads).
include(CMakePackageConfigHelpers)

set(velorium_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/velorium)

set_target_properties(lumora_core PROPERTIES EXPORT_NAME lumora_core)
install(TARGETS velorium lumora_core EXPORT velorium-targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/velorium/src/velorium DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "raw" EXCLUDE
  PATTERN "internal" EXCLUDE
  PATTERN "output" EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/lumora-core/src/lumora DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp")

install(EXPORT velorium-targets NAMESPACE velorium:: DESTINATION ${velorium_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/veloriumConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/veloriumConfig.cmake
  INSTALL_DESTINATION ${velorium_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/veloriumConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/veloriumConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/veloriumConfigVersion.cmake
  DESTINATION ${velorium_cmake_dir})
