# Checks that the plug-in's dynamic symbol table defines the entry points and
# nothing else. Run with -DNM=<nm> -DLIBRARY=<objkit.so>.
set(expected
  T_C_Object_deallocate T_C_Object_dump T_C_Object_get_symbol_table T_C_Object_init_module
  T_DblLnk_create T_DblLnk_deallocate T_DblLnk_dump T_DblLnk_get_symbol_table T_DblLnk_init_module
  T_Timer_init_module
  genobj_create genobj_dump genobj_handle genobj_init_module
  objkit_init_module objkitbltin
  refobj_handle
  z_free z_malloc z_realloc)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(found)
foreach(line IN LISTS lines)
  # Version nodes ("A" entries) are not symbols of the library.
  if(line MATCHES "^[0-9a-fA-F]* *[B-Zb-z] ([^ @]+)")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
