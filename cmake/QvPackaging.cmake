# Debian packages for lab machines, one per install component, with the dependencies on
# Debian's Qt packages that dpkg-shlibdeps finds (and the Qt parts it cannot see):
#   cpack --config build/CPackConfig.cmake -B <folder>
# The packages install under /usr. A Qt 6 build makes packages named for Qt 6, which
# conflict with the Qt 5 ones: both hold libqvcore.so.1.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qvcore)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "QvCore developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends from the programs' and the library's ELF dependencies; the library of this
# build is found here and named through the component dependencies below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/coagulation/core)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_COMPONENT_TOOLS_DEPENDS library)

# Package names: library, development, tools.
set(qv_qt5_names libqvcore${PROJECT_VERSION_MAJOR} libqvcore-dev qvcore-tools)
set(qv_qt6_names libqvcore-qt6-${PROJECT_VERSION_MAJOR} libqvcore-qt6-dev qvcore-qt6-tools)
if(QV_QT_MAJOR STREQUAL "6")
    set(qv_names ${qv_qt6_names})
    set(qv_other_names ${qv_qt5_names})
    # Loaded as a plug-in or found by CMake, so no ELF dependency names them.
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libqt6sql6-sqlite")
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qt6-base-dev, qt6-declarative-dev, qt6-serialport-dev")
else()
    set(qv_names ${qv_qt5_names})
    set(qv_other_names ${qv_qt6_names})
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "libqt5sql5-sqlite")
    set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "qtbase5-dev, qtscript5-dev, libqt5serialport5-dev")
endif()
foreach(component LIBRARY DEVELOPMENT TOOLS)
    list(POP_FRONT qv_names name)
    list(POP_FRONT qv_other_names other)
    set(CPACK_DEBIAN_${component}_PACKAGE_NAME ${name})
    # The other Qt's package holds the same files.
    set(CPACK_DEBIAN_${component}_PACKAGE_CONFLICTS ${other})
endforeach()
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)

set(CPACK_COMPONENT_LIBRARY_DESCRIPTION
    "Core library of the coagulation analyser's control software (Qt ${QV_QT_MAJOR})\n The shared library and its translations.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Core library of the coagulation analyser's control software: development files (Qt ${QV_QT_MAJOR})\n Headers, the CMake package, the pkg-config file and the examples' sources.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "Service console, simulator and tools of the coagulation analyser (Qt ${QV_QT_MAJOR})\n qvlink, qvsim, qvprofile, qvcurve, the module monitor qvmonitor and the Wireshark dissector.")

include(CPack)
