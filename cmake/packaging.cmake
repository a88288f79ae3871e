# Release packages (CPack): a zip of the Windows program from the mingw32 build, a Debian
# package from the release build. README "Packages" has the one command that makes both.
set(CPACK_PACKAGE_NAME "tolvern")
set(CPACK_PACKAGE_VENDOR "Tolvern")
set(CPACK_PACKAGE_VERSION "1.0.0")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Rewrites the flash of a PSoC 1 microcontroller through a passive adapter on a serial port's modem lines")
set(CPACK_PACKAGE_CONTACT "Tolvern maintainers <tolvern@localhost>")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything in one folder: the program, its README and the firmware notes.
  install(TARGETS tolvern RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/firmware/README.md DESTINATION . RENAME FIRMWARE.md)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(doc_dir share/doc/tolvern)
  install(TARGETS tolvern tolvern-pack RUNTIME DESTINATION bin)
  if(TARGET tolvern-sim)
    install(TARGETS tolvern-sim RUNTIME DESTINATION bin)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${doc_dir})
  install(FILES ${CMAKE_SOURCE_DIR}/firmware/README.md DESTINATION ${doc_dir} RENAME FIRMWARE.md)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # libftdi1 1.5 (and the libusb under it) drive the FT232R cable (README, The USB-RS232 cable).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libftdi1-2 (>= 1.5), libusb-1.0-0")
endif()

include(CPack)
