# The documents the packages carry, made at build time by cmake/doc_file.cmake:
# - Linux: the manual pages, compressed, for /usr/share/man/man1;
# - Windows: LICENSE.txt, README.txt, FIRMWARE.txt and TOLVERN.txt (tolvern(1) as plain
#   text), all with CR LF line ends, for the zip beside tolvern.exe.
set(doc_script ${CMAKE_SOURCE_DIR}/cmake/doc_file.cmake)
set(doc_out ${CMAKE_BINARY_DIR}/doc)
set(doc_files)

# doc_file(MODE SOURCE TARGET_NAME): builds ${doc_out}/TARGET_NAME from SOURCE.
function(doc_file mode source name)
  add_custom_command(
    OUTPUT ${doc_out}/${name}
    COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DIN=${source} -DOUT=${doc_out}/${name} -P ${doc_script}
    DEPENDS ${source} ${doc_script}
    VERBATIM)
  set(doc_files ${doc_files} ${doc_out}/${name} PARENT_SCOPE)
endfunction()

set(manual_pages tolvern tolvern-pack tolvern-sim)
file(MAKE_DIRECTORY ${doc_out})
if(WIN32)
  find_program(GROFF groff REQUIRED)
  doc_file(man-text ${CMAKE_SOURCE_DIR}/man/tolvern.1 TOLVERN.txt)
  doc_file(crlf ${CMAKE_SOURCE_DIR}/LICENSE LICENSE.txt)
  doc_file(crlf ${CMAKE_SOURCE_DIR}/README.md README.txt)
  doc_file(crlf ${CMAKE_SOURCE_DIR}/firmware/README.md FIRMWARE.txt)
else()
  foreach(page IN LISTS manual_pages)
    doc_file(gzip ${CMAKE_SOURCE_DIR}/man/${page}.1 ${page}.1.gz)
  endforeach()
  doc_file(gzip ${CMAKE_SOURCE_DIR}/packaging/changelog changelog.gz)
endif()
add_custom_target(tolvern-docs ALL DEPENDS ${doc_files})
