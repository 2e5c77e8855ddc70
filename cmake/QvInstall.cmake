# What `cmake --install` (and `make install`) puts in place: the library with its SONAME
# links, the public headers, qelvorlent.pc, the CMake package QelVorlent, the `vorlent`
# command with its manual page and bash completion, the demo and the design notes.
include(CMakePackageConfigHelpers)

set(QV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QelVorlent)

install(TARGETS qelvorlent EXPORT QelVorlentTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/qelvorlent DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

configure_file(${PROJECT_SOURCE_DIR}/cmake/qelvorlent.pc.in ${PROJECT_BINARY_DIR}/qelvorlent.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qelvorlent.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

install(EXPORT QelVorlentTargets NAMESPACE QelVorlent:: DESTINATION ${QV_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QelVorlentConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QelVorlentConfig.cmake INSTALL_DESTINATION ${QV_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QelVorlentConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QelVorlentConfig.cmake ${PROJECT_BINARY_DIR}/QelVorlentConfigVersion.cmake
        DESTINATION ${QV_CMAKE_DIR} COMPONENT dev)

install(TARGETS vorlent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
# The build tree's path to the library ($ORIGIN/...) has no place in the installed command.
install(CODE "file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vorlent\")"
        COMPONENT tool)
configure_file(${PROJECT_SOURCE_DIR}/tools/vorlent/vorlent.1.in ${PROJECT_BINARY_DIR}/vorlent.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vorlent.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/tools/vorlent/vorlent.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vorlent COMPONENT tool)
# `vorlent demo` runs the installed copy (see tools/vorlent/KeyCommands.cpp).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/demo.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/qelvorlent COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/scripts/gost-openssl.sh DESTINATION ${CMAKE_INSTALL_DATADIR}/qelvorlent
        COMPONENT tool)

file(GLOB QV_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${QV_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT dev)

# The Python module qelvorlent (pure Python over the library's C interface) and its examples.
set(QV_PYTHON_DIR lib/python3/dist-packages CACHE PATH "Where the Python module qelvorlent is installed")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/qelvorlent DESTINATION ${QV_PYTHON_DIR} COMPONENT python
        PATTERN __pycache__ EXCLUDE)
install(FILES ${PROJECT_SOURCE_DIR}/examples/python/registration.py
              ${PROJECT_SOURCE_DIR}/examples/python/show_package.py
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-qelvorlent/examples COMPONENT python)
