# Fails if a kernel object defines a weak or unique symbol: the linker keeps
# one copy of such code for the whole program, whichever object it comes
# from, and a copy built for AVX-512 would fault on any other processor.
#   cmake -DNM=... -DOBJECTS=a.o;b.o -P check_kernel_symbols.cmake
foreach(object ${OBJECTS})
  execute_process(COMMAND ${NM} --defined-only ${object} OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "[^\n]* [VWu] [^\n]*" shared "${symbols}")
  # Type information (which UBSan emits for the kernels' function types) is
  # data, the same in every copy.
  list(FILTER shared EXCLUDE REGEX " V _ZT[IS]")
  if(shared)
    string(REPLACE ";" "\n" shared "${shared}")
    message(FATAL_ERROR "${object} defines symbols the linker may take from it for the whole program:\n${shared}")
  endif()
endforeach()
list(LENGTH OBJECTS count)
message(STATUS "${count} kernel objects define no weak symbol")
