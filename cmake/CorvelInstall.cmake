# `cmake --install` lays out the application as this platform expects it, under any prefix:
#   bin/orvanta-voduve-corvel
#   share/orvanta-voduve-corvel/resources/   the two scripts and the marker extension
#   share/applications/orvanta-voduve-corvel.desktop
#   share/icons/hicolor/<size>x<size>/apps/orvanta-voduve-corvel.png
# The program finds its resources at ../share/orvanta-voduve-corvel/resources from its own
# folder, so these places are fixed relative to the prefix. Nothing else is installed.

set(CORVEL_INSTALL_RESOURCES_DIR "share/orvanta-voduve-corvel/resources")

install(TARGETS orvanta-voduve-corvel RUNTIME DESTINATION bin)

# The files exactly as the build placed them in bin/resources, which is what the program
# uses when run from the build tree.
set(corvel_installed_scripts)
foreach(script IN LISTS CORVEL_SCRIPT_RESOURCES)
  list(APPEND corvel_installed_scripts "${CORVEL_RESOURCES_DIR}/${script}")
endforeach()
install(FILES ${corvel_installed_scripts} DESTINATION "${CORVEL_INSTALL_RESOURCES_DIR}")
install(PROGRAMS "${CORVEL_RESOURCES_DIR}/voduve_CuewardenStop.so" DESTINATION "${CORVEL_INSTALL_RESOURCES_DIR}")

install(FILES "${PROJECT_SOURCE_DIR}/resources/orvanta-voduve-corvel.desktop" DESTINATION share/applications)
foreach(size IN LISTS CORVEL_ICON_SIZES)
  install(FILES "${CORVEL_ICONS_DIR}/hicolor/${size}x${size}/apps/orvanta-voduve-corvel.png"
          DESTINATION "share/icons/hicolor/${size}x${size}/apps")
endforeach()
