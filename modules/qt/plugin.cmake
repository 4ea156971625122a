# The plugin for Qt ${qt}, as build/qt${qt}/imageformats/libqcolorix.so (a
# folder to name in QT_PLUGIN_PATH), installed in that Qt's plugin folder
# as the component qt${qt}-plugin.
find_package(Qt${qt} QUIET COMPONENTS Gui)
if(NOT Qt${qt}Gui_FOUND)
  message(STATUS "Qt ${qt}'s development files not found: its ColorRIX plugin is not built")
  return()
endif()
add_library(quorvel_qt${qt} MODULE ${CMAKE_CURRENT_LIST_DIR}/plugin.cpp)
set_target_properties(quorvel_qt${qt} PROPERTIES AUTOMOC ON OUTPUT_NAME qcolorix
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/qt${qt}/imageformats
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(quorvel_qt${qt} PRIVATE quorvel_core_pic Qt${qt}::Gui)
# Only Qt's two entry points are seen from outside: the converter's code
# inside stays the plugin's own, whatever else the program loads.
target_link_options(quorvel_qt${qt} PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)

# Qt 6 names its plugin folder under its prefix; Qt 5 tells qmake.
if(qt EQUAL 6)
  set(plugins ${QT6_INSTALL_PLUGINS})
else()
  get_target_property(qmake Qt5::qmake IMPORTED_LOCATION)
  foreach(path PREFIX PLUGINS)
    execute_process(COMMAND ${qmake} -query QT_INSTALL_${path} OUTPUT_VARIABLE ${path} OUTPUT_STRIP_TRAILING_WHITESPACE)
  endforeach()
  file(RELATIVE_PATH plugins ${PREFIX} ${PLUGINS})
endif()
install(TARGETS quorvel_qt${qt} LIBRARY DESTINATION ${plugins}/imageformats COMPONENT qt${qt}-plugin)
