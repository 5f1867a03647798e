# Runs brevrctl-sim for ctest: SIMULATOR with ARGS (separated by |), standard input from INPUT
# when given. Fails unless the exit status is EXPECTED_EXIT, the output (standard output and
# standard error together) matches MATCH when given, and does not match NO_MATCH when given.
string(REPLACE "|" ";" args "${ARGS}")
set(input)
if(INPUT)
    set(input INPUT_FILE ${INPUT})
endif()
execute_process(COMMAND ${SIMULATOR} ${args} ${input}
    RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(output "${out}${err}")
if(NOT status STREQUAL EXPECTED_EXIT)
    message(FATAL_ERROR "exit status ${status}, expected ${EXPECTED_EXIT}:\n${output}")
endif()
if(MATCH AND NOT output MATCHES "${MATCH}")
    message(FATAL_ERROR "the output does not match \"${MATCH}\":\n${output}")
endif()
if(NO_MATCH AND output MATCHES "${NO_MATCH}")
    message(FATAL_ERROR "the output matches \"${NO_MATCH}\":\n${output}")
endif()
