# The Python module `calyx` (python/): on by default when the interpreter, its headers,
# pybind11 and numpy are found. The interpreter is Debian's /usr/bin/python3 unless
# Python3_EXECUTABLE names another: a python3 found first on the PATH (pyenv, a virtual
# environment) may lack numpy or be of another version than the headers.
set(CALYX_PYTHON_DEFAULT OFF)
if(CALYX_TOP_LEVEL AND NOT CALYX_SANITIZE AND NOT CALYX_BUILD_FUZZ AND NOT ANDROID)
  if(NOT Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH
        "Python interpreter of the calyx module and its tests")
  endif()
  find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
  find_package(pybind11 2.6 CONFIG QUIET)
  if(Python3_FOUND AND pybind11_FOUND)
    execute_process(COMMAND ${Python3_EXECUTABLE} -c "import numpy"
                    RESULT_VARIABLE CALYX_NUMPY_STATUS OUTPUT_QUIET ERROR_QUIET)
    if(CALYX_NUMPY_STATUS EQUAL 0)
      set(CALYX_PYTHON_DEFAULT ON)
    endif()
  endif()
endif()
option(CALYX_BUILD_PYTHON "Build the Python module calyx (pybind11, numpy)" ${CALYX_PYTHON_DEFAULT})
if(CALYX_BUILD_PYTHON)
  add_subdirectory(python)
endif()
