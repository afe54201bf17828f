# A MinGW-w64 cross-build with TVX_WINDOWS_CHECKS (scripts/test-programs.sh):
# besides our DLL, the programs tests/test_windows.py runs under Wine or
# reads with objdump. TVX_WINDOWS_PYTHON_INCLUDE, TVX_WINDOWS_PYTHON_VERSION
# (e.g. 39) and TVX_WINDOWS_PYBIND11_INCLUDE come from the Linux interpreter
# whose headers the module is compiled with.
enable_language(C)

add_executable(host tests/windows/host.c)
target_compile_options(host PRIVATE -O1 -Wall -Werror)
target_link_options(host PRIVATE -static)

# Bound through the import library made from the .def, as the module is.
add_executable(linked tests/windows/linked.c)
target_compile_options(linked PRIVATE -O1 -Wall -Werror)
target_link_options(linked PRIVATE -static-libgcc)
add_dependencies(linked tvx_ordinal_imports)
target_link_libraries(linked PRIVATE ${TVX_IMPLIB})

# The module, compiled with CPython's own headers under a configuration
# corrected for 64-bit Windows (no Windows CPython here). Python.h includes
# "pyconfig.h" from its own directory, so the headers are copied beside ours.
set(TVX_WIN_INCLUDE ${CMAKE_CURRENT_BINARY_DIR}/python-include)
file(COPY ${TVX_WINDOWS_PYTHON_INCLUDE}/ DESTINATION ${TVX_WIN_INCLUDE} PATTERN pyconfig.h EXCLUDE)
configure_file(${TVX_WINDOWS_PYTHON_INCLUDE}/pyconfig.h ${TVX_WIN_INCLUDE}/pyconfig_linux.h COPYONLY)
configure_file(tests/windows/pyconfig_win64.h ${TVX_WIN_INCLUDE}/pyconfig.h COPYONLY)
file(GLOB TVX_WIN_MODULE_SOURCES CONFIGURE_DEPENDS
  core/*.cpp queries/*.cpp orders/*.cpp realtime/*.cpp marketdata/*.cpp module/*.cpp)
add_library(windows_module_objects OBJECT ${TVX_WIN_MODULE_SOURCES})
target_include_directories(windows_module_objects PRIVATE ${TVX_WIN_INCLUDE} ${TVX_WINDOWS_PYBIND11_INCLUDE})
target_compile_options(windows_module_objects PRIVATE -O1 -Wall -Wextra -Wno-restrict -Werror -fvisibility=hidden)

# Linked against the ordinal import library and an import library of the
# C API its objects use (cmake/windows_module_link.cmake).
find_program(TVX_MINGW_NM NAMES x86_64-w64-mingw32-nm REQUIRED)
set(TVX_WIN_PYD ${CMAKE_CURRENT_BINARY_DIR}/tavrolix_open_api.pyd)
add_custom_command(OUTPUT ${TVX_WIN_PYD}
  COMMAND ${CMAKE_COMMAND}
    "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:windows_module_objects>,|>"
    -DOUT=${TVX_WIN_PYD} -DIMPLIB=${TVX_IMPLIB} -DPYTHON_DLL=python${TVX_WINDOWS_PYTHON_VERSION}.dll
    -DCXX=${CMAKE_CXX_COMPILER} -DNM=${TVX_MINGW_NM} -DDLLTOOL=${TVX_DLLTOOL}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/windows_module_link.cmake
  DEPENDS $<TARGET_OBJECTS:windows_module_objects> ${TVX_IMPLIB} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/windows_module_link.cmake
  COMMENT "Linking the module for Windows"
  VERBATIM)
add_custom_target(windows_module ALL DEPENDS ${TVX_WIN_PYD})
add_dependencies(windows_module windows_module_objects tvx_ordinal_imports)
