# Fails unless `nm -D --defined-only` lists exactly the library's 18 entry points.
execute_process(COMMAND nm -D --defined-only ${MODULE} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" names "${symbols}")
set(found "")
foreach(line ${names})
  string(STRIP "${line}" name)
  list(APPEND found "${name}")
endforeach()
list(SORT found)
set(expected
  HIDFeatureReportCount HIDFeatureReportSize HIDGetDeviceInfo HIDGetFeatureReport HIDGetInputReport
  HIDInputReportCount HIDInputReportSize HIDOutputReportCount HIDOutputReportSize HIDSetFeatureReport
  HIDSetOutputReport HIDcloseDevice HIDopenDevice HIDreadDevice HIDscanForDevices HIDsetEventHandler
  HIDwriteDevice USBsetEventHandler)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
message(STATUS "exactly the 18 entry points are exported")
