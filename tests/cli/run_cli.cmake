# Runs one qzftdi command and checks its exit code, its stdout against a file
# of expected text, its stderr against a regular expression, and optionally
# what sigrok-cli decodes from the wire trace the command wrote.
#   -DPROGRAM=... -DARGS=a|b|c -DEMULATOR=x|y (may be empty) -DEXIT=n
#   [-DSTDOUT_FILE=f | -DSTDOUT_REGEX=r] [-DSTDERR_REGEX=r]
#   [-DVCD=f -DSIGROK=a|b -DDECODED_FILE=f]
# (STDOUT_REGEX: for output whose numbers differ per run, such as timings.)
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
if(VCD)
  file(REMOVE ${VCD})
endif()
execute_process(COMMAND ${emulator} ${PROGRAM} ${args}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
# Windows programs end lines with CR LF.
string(REPLACE "\r" "" out "${out}")
string(REPLACE "\r" "" err "${err}")
set(failed "")
if(NOT rc EQUAL EXIT)
  string(APPEND failed "exit code ${rc}, expected ${EXIT}\n")
endif()
if(DEFINED STDOUT_FILE)
  file(READ ${STDOUT_FILE} expected)
  if(NOT out STREQUAL expected)
    string(APPEND failed "stdout differs from ${STDOUT_FILE}:\n--- got ---\n${out}--- expected ---\n${expected}")
  endif()
endif()
if(DEFINED STDOUT_REGEX AND NOT out MATCHES "${STDOUT_REGEX}")
  string(APPEND failed "stdout does not match \"${STDOUT_REGEX}\"\n")
endif()
if(DEFINED STDERR_REGEX)
  if(NOT err MATCHES "${STDERR_REGEX}")
    string(APPEND failed "stderr does not match \"${STDERR_REGEX}\"\n")
  endif()
elseif(NOT err STREQUAL "")
  string(APPEND failed "unexpected stderr\n")
endif()
if(DEFINED DECODED_FILE)
  string(REPLACE "|" ";" sigrok "${SIGROK}")
  execute_process(COMMAND sigrok-cli -i ${VCD} -I vcd ${sigrok}
    RESULT_VARIABLE src OUTPUT_VARIABLE decoded ERROR_VARIABLE decodeErr)
  file(READ ${DECODED_FILE} expectedDecode)
  if(NOT src EQUAL 0 OR NOT decodeErr STREQUAL "" OR NOT decoded STREQUAL expectedDecode)
    string(APPEND failed "sigrok decodes ${VCD} as:\n${decoded}${decodeErr}--- expected ---\n${expectedDecode}")
  endif()
endif()
if(failed)
  message(FATAL_ERROR "qzftdi ${args}\nstdout:\n${out}stderr:\n${err}\n${failed}")
endif()
