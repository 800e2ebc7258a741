# Renders a manual page as text that Notepad shows as a terminal would: ASCII only, no
# overstriking for bold or underline, no words broken at line ends, CR LF line ends.
#
#   cmake -DPAGE=pelldor.1 -DTEXT=pelldor.txt -P render-manual.cmake
execute_process(COMMAND groff -man -rHY=0 -Tascii -P-cbou ${PAGE}
                OUTPUT_VARIABLE text RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff could not render ${PAGE}: ${status}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${TEXT} "${text}")
