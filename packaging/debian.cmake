# Debian packages made by cpack from the install components, one a part,
# so that a user installs only what they ask for: the converter's package
# (quorvel: the programs, the desktop's type and thumbnailer) depends on
# neither GTK nor Qt, and each module another program loads is a package of
# its own, named as Debian names packages of its kind. Every package holds
# its copyright and changelog.
get_cmake_property(quorvel_components COMPONENTS)
# Each description's first line is its package's summary: cpack puts the
# project's before it unless that is cpack's own default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${quorvel_components})

# The package of `component`, where something was installed for it.
macro(quorvel_package component name description)
  if(${component} IN_LIST quorvel_components)
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
    set(CPACK_DEBIAN_${upper}_DESCRIPTION "${description}")
    # Viewers (and KDE's thumbnails) know ColorRIX files by the type the
    # converter's package gives the desktop.
    if(NOT "${component}" STREQUAL converter)
      set(CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS "quorvel (= ${PROJECT_VERSION})")
    endif()
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${component})
    install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} RENAME copyright
            COMPONENT ${component})
  endif()
endmacro()

quorvel_package(converter quorvel "${PROJECT_DESCRIPTION}
quorvel converts 256-colour pictures between ColorRIX images and
8-bit Windows bitmaps, both ways, without losing a palette index. Any number
of files is converted in one run, each beside itself, and every outcome is
reported. Damaged input is refused with a message rather than guessed at,
and an input is never overwritten. The desktop learns the ColorRIX type,
and file managers draw ColorRIX thumbnails.")
quorvel_package(pixbuf-loader colorix-pixbuf-loader "ColorRIX image loader for gdk-pixbuf
Lets GTK programs that read pictures through gdk-pixbuf (Eye of GNOME,
gThumb, Ristretto and others) open ColorRIX images, stored, compressed and
in 16 colours, in the colours quorvel converts them to.")
quorvel_package(qt5-plugin qt5-colorix-image-format-plugin "ColorRIX image format plugin for Qt 5
Lets Qt 5 programs that read pictures through QImageReader (Gwenview,
Dolphin's previews and others) open ColorRIX images, stored, compressed and
in 16 colours, with their 256 palette indices.")
quorvel_package(qt6-plugin qt6-colorix-image-format-plugin "ColorRIX image format plugin for Qt 6
Lets Qt 6 programs that read pictures through QImageReader (Gwenview,
Dolphin's previews and others) open ColorRIX images, stored, compressed and
in 16 colours, with their 256 palette indices.")
