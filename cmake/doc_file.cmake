# One documentation file for the packages, at build time:
#   cmake -DMODE=gzip|crlf|man-text -DIN=source -DOUT=target -P doc_file.cmake
# gzip: compressed as Debian wants it (gzip -9n: best, no name or time stamp, so the same
#       source gives the same bytes);
# crlf: the text with CR LF line ends, for Windows;
# man-text: a manual page rendered as plain ASCII text (no overstriking, no escape
#       sequences), with CR LF line ends, for Windows, which has no man.
if(MODE STREQUAL "gzip")
  execute_process(COMMAND gzip -9n -c "${IN}" OUTPUT_FILE "${OUT}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${IN}: ${failed}")
  endif()
  return()
endif()
if(MODE STREQUAL "man-text")
  execute_process(COMMAND groff -man -Tascii -P-cbou -rLL=78n "${IN}"
                  OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE failed)
  if(failed OR NOT errors STREQUAL "")
    message(FATAL_ERROR "groff ${IN}: ${failed} ${errors}")
  endif()
elseif(MODE STREQUAL "crlf")
  file(READ "${IN}" text)
else()
  message(FATAL_ERROR "doc_file.cmake: unknown MODE ${MODE}")
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
