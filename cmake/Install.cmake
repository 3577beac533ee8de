# cmake --install: the libraries an app links, their headers (and the
# generated message headers) under ${TL_INSTALL_INCLUDEDIR} (one project
# folder, "include/tembrolexin/platform/api/tl_decoder.h"), a CMake package
# (find_package(tembrolexin) gives tembrolexin::tembrolexin and one
# tembrolexin::tl_* target per library), a pkg-config file, and the tools
# tl_decode and tl_gen in bin/, and the scheme configurations that apps name
# in their decoder descriptors in share/tembrolexin/. The test-signal library (tools/signal) and
# the headers of the bridge's inside (*_private*.h), which no app can use,
# stay out.
include(CMakePackageConfigHelpers)

# Every library folder's target (tl_component) and the schema, but the
# test-signal library, which only tools and tests link.
get_property(_components GLOBAL PROPERTY TL_LIBRARY_TARGETS)
list(REMOVE_ITEM _components tl_testsignal)
set(TL_INSTALL_LIBRARIES tl_schema ${_components})

# What an app links: the platform layer and, through it, the core.
add_library(tembrolexin INTERFACE)
target_link_libraries(tembrolexin INTERFACE tl_platform_api)

install(TARGETS ${TL_INSTALL_LIBRARIES} tembrolexin EXPORT tembrolexinTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT tembrolexinTargets NAMESPACE tembrolexin::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tembrolexin)

foreach(_dir core platform schema)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir}/ DESTINATION ${TL_INSTALL_INCLUDEDIR}/${_dir}
          FILES_MATCHING PATTERN "*.h" PATTERN "*_private*.h" EXCLUDE)
endforeach()

install(TARGETS tl_decode tl_gen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/data/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tembrolexin
        FILES_MATCHING PATTERN "scheme_*.cfg")
install(DIRECTORY ${CMAKE_BINARY_DIR}/generated/ DESTINATION ${TL_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/tembrolexinConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/tembrolexinConfig.cmake
                              INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tembrolexin)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/tembrolexinConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/tembrolexinConfig.cmake
              ${CMAKE_BINARY_DIR}/tembrolexinConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tembrolexin)

# pkg-config: the libraries are linked as one group, so their order on the
# command line does not matter.
set(TL_PC_LIBS "")
foreach(_lib ${TL_INSTALL_LIBRARIES})
  string(APPEND TL_PC_LIBS " -l${_lib}")
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/tembrolexin.pc.in ${CMAKE_BINARY_DIR}/tembrolexin.pc
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/tembrolexin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The example app builds in this tree against the same target it finds once
# installed.
add_library(tembrolexin::tembrolexin ALIAS tembrolexin)
add_subdirectory(${PROJECT_SOURCE_DIR}/examples/decode_wav ${CMAKE_BINARY_DIR}/examples/decode_wav)
