# Starts zel with a script folder whose t_c_object keeps `handle` out of
# place: start-up must end with exit status 255 after exactly the fatal line.
# Run with -DZEL=<zel> -DFOLDER=<script folder> [-DEMULATOR=<a|b|c>] (the
# emulator's command line with | between its words).
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${ZEL} --path ${FOLDER} -e ""
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
set(line "Fatal error : Instance variable constants don't match for class T_C_Object\n")
if(NOT status EQUAL 255 OR NOT out STREQUAL line)
  message(FATAL_ERROR "exit status ${status}\nstdout:\n${out}\nstderr:\n${err}")
endif()
