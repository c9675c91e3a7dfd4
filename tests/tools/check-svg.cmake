# Writes a tube plot with the tool and parses it with Python's XML parser.
execute_process(COMMAND ${CALYX} tube ${CONFIG} --svg ${OUT} RESULT_VARIABLE written)
if(NOT written EQUAL 0)
  message(FATAL_ERROR "calyx tube --svg failed: ${written}")
endif()
execute_process(COMMAND ${PYTHON} -c
  "import sys, xml.etree.ElementTree as E; r = E.parse(sys.argv[1]).getroot(); sys.exit(0 if r.tag.endswith('svg') else 1)"
  ${OUT} RESULT_VARIABLE parsed)
if(NOT parsed EQUAL 0)
  message(FATAL_ERROR "the SVG does not parse as XML")
endif()
