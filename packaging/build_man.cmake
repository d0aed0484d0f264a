# Builds one man page: scdoc source in, roff and its gzip out. The source
# carries @VERSION@ in its title line.
configure_file(${SOURCE} ${OUTPUT}.scd @ONLY)
execute_process(COMMAND ${SCDOC} INPUT_FILE ${OUTPUT}.scd OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUTPUT})
  message(FATAL_ERROR "scdoc failed on ${SOURCE}")
endif()
execute_process(COMMAND gzip -9nkf ${OUTPUT} COMMAND_ERROR_IS_FATAL ANY)
