# Fails when the crash handler's object uses emulated thread-local storage.
# That storage allocates on a thread's first use and takes a lock on the
# process's first, so a filter guarded by it can fault again on a corrupted
# heap instead of ending the process.
#   cmake -DNM=<nm> -DLIB=<library> -P no_emulated_tls.cmake
execute_process(COMMAND ${NM} -A ${LIB} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "crash_handler[^:\n]*:[^\n]*__emutls[^\n]*" uses "${symbols}")
if(uses)
  message(FATAL_ERROR "the crash handler uses emulated thread-local storage:\n${uses}")
endif()
