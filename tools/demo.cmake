# Writes the sample pair afresh (and its folder, which a fresh clone lacks),
# then runs ripple on it with the centre in the middle of the 640 × 480
# pictures, answering the two prompts from a file.
execute_process(COMMAND ${MAKE_EXAMPLES} ${DIR} COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${DIR}/answers.txt "320\n240\n")
execute_process(COMMAND ${RIPPLE} WORKING_DIRECTORY ${DIR} INPUT_FILE ${DIR}/answers.txt
                RESULT_VARIABLE rc)
file(REMOVE ${DIR}/answers.txt)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "ripple failed with status ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E echo "")
message(STATUS "Wrote ${DIR}/Output.bmp")
