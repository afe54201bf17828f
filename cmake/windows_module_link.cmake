# cmake -P: links the module's Windows objects (OBJECTS, |-separated) into
# OUT, importing our library through IMPLIB and the C API from PYTHON_DLL
# through an import library of exactly the functions the objects use.
string(REPLACE "|" ";" objects "${OBJECTS}")
get_filename_component(dir "${OUT}" DIRECTORY)

execute_process(COMMAND ${NM} -u ${objects} OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${NM} failed")
endif()
string(REGEX MATCHALL "__imp__?Py[A-Za-z0-9_]+" imports "${undefined}")
set(api "")
foreach(name IN LISTS imports)
  string(REGEX REPLACE "^__imp_" "" name "${name}")
  list(APPEND api "${name}")
endforeach()
list(REMOVE_DUPLICATES api)
list(SORT api)
if(NOT api)
  message(FATAL_ERROR "the objects import nothing from CPython")
endif()
list(JOIN api "\n    " exports)
file(WRITE ${dir}/python.def "LIBRARY ${PYTHON_DLL}\nEXPORTS\n    ${exports}\n")

execute_process(COMMAND ${DLLTOOL} --input-def ${dir}/python.def --dllname ${PYTHON_DLL}
                        --output-lib ${dir}/python.lib RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${DLLTOOL} failed")
endif()
execute_process(COMMAND ${CXX} -shared -static -o ${OUT} ${objects} ${IMPLIB} ${dir}/python.lib RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "linking ${OUT} failed")
endif()
