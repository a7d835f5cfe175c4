# Checks that loading the module, the platform library or kemlua loads no
# C++ runtime and no OpenSSL: no libstdc++, libgcc_s (the unwinder) or
# libcrypto among the libraries each needs, and no undefined C++ runtime
# symbol (a mangled name, __cxa_*, __gxx_*) that would have to come from one.
#   cmake -DREADELF=readelf -DNM=nm -DFILES="a;b" -P runtime_libraries.cmake
set(faults "")
foreach(file IN LISTS FILES)
  execute_process(COMMAND ${READELF} -d ${file} OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[(libstdc\\+\\+|libgcc_s|libcrypto)[^]\n]*\\]" bad "${dynamic}")
  execute_process(COMMAND ${NM} -D --undefined-only ${file} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL " (_Z|__cxa_|__gxx_)[^ \n@]*" runtime "${undefined}")
  list(REMOVE_ITEM runtime " __cxa_finalize" " __cxa_atexit")  # the C library's
  if(bad OR runtime)
    string(APPEND faults "\n  ${file}: ${bad} ${runtime}")
  endif()
endforeach()
if(faults)
  message(FATAL_ERROR "needs the C++ runtime or libcrypto:${faults}")
endif()
list(LENGTH FILES count)
message("${count} files need neither libstdc++ nor libcrypto: 1 passed, 0 failed")
