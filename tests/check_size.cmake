# A shipped program stays small: FILE is at most MOST_BYTES.
file(SIZE "${FILE}" bytes)
if(bytes GREATER MOST_BYTES)
    message(FATAL_ERROR "${FILE} is ${bytes} bytes, more than ${MOST_BYTES}: not stripped, or grown")
endif()
message(STATUS "${FILE}: ${bytes} bytes, at most ${MOST_BYTES}")
