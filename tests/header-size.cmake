# Preprocesses a host file that includes the umbrella header, as a host's compiler sees it,
# and fails when the text grows past BOUND lines: a public header that pulls a heavy
# dependency back in (spdlog's full header, Eigen beyond Core) costs every host's build.
#   -DCOMPILER=... -DSTANDARD=-std=c++17 -DINCLUDES=a|b -DDEFINITIONS=X|Y=1 -DWORK=dir -DBOUND=n
string(REPLACE "|" ";" includes "${INCLUDES}")
string(REPLACE "|" ";" definitions "${DEFINITIONS}")
set(flags ${STANDARD})
foreach(dir IN LISTS includes)
  list(APPEND flags "-I${dir}")
endforeach()
foreach(def IN LISTS definitions)
  list(APPEND flags "-D${def}")
endforeach()

file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/umbrella.cpp" "#include <calyx/calyx.h>\n")
execute_process(COMMAND ${COMPILER} -E ${flags} "${WORK}/umbrella.cpp"
                OUTPUT_VARIABLE text ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot preprocess <calyx/calyx.h>:\n${errors}")
endif()
string(LENGTH "${text}" withNewlines)
string(REPLACE "\n" "" text "${text}")
string(LENGTH "${text}" withoutNewlines)
math(EXPR lines "${withNewlines} - ${withoutNewlines}")
message(STATUS "<calyx/calyx.h> preprocesses to ${lines} lines (bound ${BOUND})")
if(lines GREATER BOUND)
  message(FATAL_ERROR "<calyx/calyx.h> preprocesses to ${lines} lines, more than the bound of "
          "${BOUND}: a public header includes more than it needs (declare instead of include, "
          "or move the include into the source file). Raise UMBRELLA_HEADER_LINE_BOUND in "
          "tests/CMakeLists.txt only for a header that must grow.")
endif()
