# Renders the manual page as plain ASCII text with CR LF line ends:
#   cmake -DGROFF=groff -DINPUT=doc/quillfen.1 -DOUTPUT=quillfen.txt -P render-manual.cmake
execute_process(
  COMMAND ${GROFF} -man -Tascii -P-c -P-b -P-u -P-o ${INPUT}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff failed on ${INPUT}: ${errors}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
