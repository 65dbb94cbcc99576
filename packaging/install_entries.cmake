# Writes the menu entry, the autostart entry and the service's user unit for the prefix being
# installed to, and installs them. Run by `cmake --install` and by cpack, with the folders set
# by packaging/CMakeLists.txt.
foreach(kind BINDIR DATADIR)
  if(IS_ABSOLUTE "${TOVIMO_INSTALL_${kind}}")
    set(full_${kind} "${TOVIMO_INSTALL_${kind}}")
  else()
    set(full_${kind} "${CMAKE_INSTALL_PREFIX}/${TOVIMO_INSTALL_${kind}}")
  endif()
endforeach()
set(TOVIMO_BINDIR "${full_BINDIR}")
set(TOVIMO_DATADIR "${full_DATADIR}/tovimo")

set(out "${TOVIMO_ENTRY_BINARY_DIR}")
configure_file("${TOVIMO_ENTRY_SOURCE_DIR}/tovimo.desktop.in" "${out}/tovimo.desktop" @ONLY)
configure_file("${TOVIMO_ENTRY_SOURCE_DIR}/tovimo-autostart.desktop.in"
               "${out}/autostart/tovimo.desktop" @ONLY)
configure_file("${TOVIMO_ENTRY_SOURCE_DIR}/tovimo-service.service.in"
               "${out}/tovimo-service.service" @ONLY)

file(INSTALL DESTINATION "${full_DATADIR}/applications" TYPE FILE
     FILES "${out}/tovimo.desktop")
# For the user to copy to ~/.config/autostart.
file(INSTALL DESTINATION "${TOVIMO_DATADIR}/autostart" TYPE FILE
     FILES "${out}/autostart/tovimo.desktop")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
     FILES "${out}/tovimo-service.service")
