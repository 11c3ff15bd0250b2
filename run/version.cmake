# Writes OUT, a header defining ZORV_VERSION: `git describe` of the checkout
# in SOURCE_DIR, or FALLBACK (the project's version) where there is no git
# or no checkout. The file is rewritten only when the text changes, so that
# nothing is rebuilt for nothing.
set(version "${FALLBACK}")
if(NOT version)
  set(version "unknown")
endif()
find_program(GIT git)
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --always --dirty --tags
                  OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND described)
    set(version "${described}")
  endif()
endif()
set(text "// Made by version.cmake at build time.\n#define ZORV_VERSION \"${version}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
