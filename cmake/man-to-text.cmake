# Renders a manual page as plain text for the Windows zip: groff's ASCII
# output without bold, underlining or other overstriking, so the file reads
# in any editor.
#   cmake -DGROFF=groff -DPAGE=man/unbak.1 -DTEXT=unbak.txt -P man-to-text.cmake
get_filename_component(dir ${TEXT} DIRECTORY)
file(MAKE_DIRECTORY ${dir})
execute_process(COMMAND ${GROFF} -man -Tascii -P-cbou ${PAGE}
                OUTPUT_FILE ${TEXT}
                ERROR_VARIABLE errors
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${TEXT})
  message(FATAL_ERROR "groff could not render ${PAGE}: ${errors}")
endif()
