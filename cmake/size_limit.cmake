# cmake -DFILE=PATH -DLIMIT=BYTES -P size_limit.cmake: fails when the file is missing or larger than LIMIT bytes.
if(NOT EXISTS "${FILE}")
  message(FATAL_ERROR "${FILE} is missing")
endif()
file(SIZE "${FILE}" size)
if(size GREATER LIMIT)
  message(FATAL_ERROR "${FILE} is ${size} bytes, ${LIMIT} at most")
endif()
message(STATUS "${FILE}: ${size} bytes, ${LIMIT} at most")
