# Renders each man page with groff and fails on any warning: a page that
# man shows wrongly, or not at all, is no help.
#   cmake -DPAGES="a.1|b.5" -P man_pages.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" pages "${PAGES}")
set(wrong 0)
foreach(page IN LISTS pages)
  execute_process(COMMAND groff -man -ww -z "${page}"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT EXISTS "${page}" OR NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(SEND_ERROR "${page}: status ${status}\n${out}${err}")
    set(wrong 1)
  endif()
endforeach()
if(wrong)
  message(FATAL_ERROR "A man page does not render cleanly")
endif()
list(LENGTH pages n)
message("${n} man pages render without a warning")
