# Writes INPUT as a Windows text file OUTPUT (CR LF line ends); with GROFF
# set, INPUT is a manual page and is rendered as plain text first.
#   cmake -DINPUT=... -DOUTPUT=... [-DGROFF=/usr/bin/groff] -P windows_text.cmake
if(GROFF)
  execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${INPUT} OUTPUT_VARIABLE text RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "groff failed on ${INPUT}")
  endif()
else()
  file(READ ${INPUT} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
