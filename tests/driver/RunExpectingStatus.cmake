# Runs PROGRAM with ARGS and checks its exit status is EXPECT_STATUS and that it said why on
# standard error.
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT status EQUAL EXPECT_STATUS)
  message(FATAL_ERROR "exit status ${status}, expected ${EXPECT_STATUS}\nstdout: ${out}\nstderr: ${err}")
endif()
if(NOT err MATCHES "^scanner-module: ")
  message(FATAL_ERROR "no message on standard error: '${err}'")
endif()
if(NOT out STREQUAL "")
  message(FATAL_ERROR "unexpected standard output: '${out}'")
endif()
message(STATUS "${err}")
