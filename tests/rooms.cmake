cmake_minimum_required(VERSION 3.25)
# The doors between the rooms run one way: each folder's sources include
# headers of their own folder and of the rooms listed for it, never of a room
# above. Run as: cmake -DTOP=<source folder> -P tests/rooms.cmake
# A line "room: a b c" lists the rooms a room may include, besides itself.
set(doors
  "formats:"
  "histogram:"
  "fit: formats"
  "physics: formats fit histogram"
  "io: formats"
  "run: formats fit physics io histogram"
  "mpi: formats fit physics io run"
  "tools: formats fit physics io run"
  "generator: formats histogram fit"
  "spectra: formats histogram")

set(rooms)
foreach(line IN LISTS doors)
  string(REGEX MATCH "^[a-z]+" room "${line}")
  list(APPEND rooms ${room})
endforeach()

set(wrong 0)
foreach(line IN LISTS doors)
  string(REGEX MATCH "^[a-z]+" room "${line}")
  string(REGEX REPLACE "^[a-z]+:" "" allowed "${line}")
  separate_arguments(allowed)
  file(GLOB sources "${TOP}/${room}/*.h" "${TOP}/${room}/*.cpp")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" includes REGEX "^#include \"")
    foreach(include IN LISTS includes)
      string(REGEX MATCH "\"([^\"/]+)/" _ "${include}")
      set(target "${CMAKE_MATCH_1}")
      if(target STREQUAL "")
        # An include without a folder: only the generated version header.
        if(NOT include MATCHES "zorv_version.h")
          message(SEND_ERROR "${source}: ${include} names no folder")
          set(wrong 1)
        endif()
      elseif(NOT target STREQUAL room AND NOT target IN_LIST allowed)
        message(SEND_ERROR "${source}: ${room}/ may not include ${target}/ (${include})")
        set(wrong 1)
      endif()
    endforeach()
  endforeach()
endforeach()
if(wrong)
  message(FATAL_ERROR "A room includes one it may not")
endif()
