# Release packages (CPack): a zip of the Windows program from the mingw32 build, a Debian
# package from the release build. README "Packages" has the one command that makes both.
set(CPACK_PACKAGE_NAME "tolvern")
set(CPACK_PACKAGE_VENDOR "Tolvern")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")  # project() in CMakeLists.txt
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "PSoC 1 flash programmer for a passive adapter on a serial port's modem lines")
# The extended description, in lines short enough for Debian (under 80 characters).
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Tolvern erases, writes, verifies and protects the 8 KB flash of a PSoC 1"
  "microcontroller. It drives the chip's In-System Serial Programming protocol"
  "on the modem lines of an RS-232 port (DTR the clock, the break state of TxD"
  "the data, CTS the data read back, RTS the target's power, DSR the adapter's"
  "echo), or on the pins of an FT232R USB-RS232 cable in synchronous bit-bang"
  "mode."
  ""
  "tolvern-pack turns a flash image or an Intel HEX file into the firmware"
  "container Tolvern programs; tolvern-sim runs Tolvern against a simulated"
  "adapter and chip.")
set(CPACK_PACKAGE_CONTACT "Tolvern maintainers <tolvern@localhost>")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # Everything in one folder: the program, its README and the firmware notes.
  install(TARGETS tolvern RUNTIME DESTINATION .)
  # The texts with CR LF line ends, tolvern(1) as TOLVERN.txt (cmake/docs.cmake).
  install(FILES ${doc_out}/LICENSE.txt ${doc_out}/README.txt ${doc_out}/FIRMWARE.txt ${doc_out}/TOLVERN.txt
          DESTINATION .)
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
  # What Debian asks of a package (lintian): the license in the machine-readable format, a
  # native changelog and manual pages, both compressed (cmake/docs.cmake).
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${doc_out}/changelog.gz DESTINATION ${doc_dir})
  install(FILES ${doc_out}/tolvern.1.gz ${doc_out}/tolvern-pack.1.gz DESTINATION share/man/man1)
  if(TARGET tolvern-sim)
    install(FILES ${doc_out}/tolvern-sim.1.gz DESTINATION share/man/man1)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION share/lintian/overrides
          RENAME tolvern)
  # The FT232R cable's udev rule where Debian 12 keeps packages' rules (not under /usr), and
  # the maintainer scripts that have udev load it.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/60-tolvern.rules DESTINATION /lib/udev/rules.d)
  # The same cable for software centres (AppStream), which offer a package by its hardware.
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/tolvern.metainfo.xml DESTINATION share/metainfo)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst
      ${CMAKE_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # libftdi1 1.5 (and the libusb under it) drive the FT232R cable (README, The USB-RS232 cable).
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libftdi1-2 (>= 1.5), libusb-1.0-0")
endif()

include(CPack)
