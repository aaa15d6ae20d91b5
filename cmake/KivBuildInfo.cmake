# Run at every build: writes BuildInfo.cpp from its template with the project's version and the
# commit of the source tree, touching it only when that changed (so nothing else rebuilds).
# In: TEMPLATE, OUT, VERSION, SOURCE_DIR, COMMIT (set when building outside git, e.g. from a tarball).
if(NOT COMMIT)
  find_program(GIT git)
  set(COMMIT unknown)
  if(GIT)
    execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} rev-parse --short=12 HEAD OUTPUT_VARIABLE head
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND head)
      set(COMMIT ${head})
      execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} diff --quiet HEAD -- RESULT_VARIABLE changed ERROR_QUIET)
      if(changed EQUAL 1)
        string(APPEND COMMIT "+changes")
      endif()
    endif()
  endif()
endif()
set(KIV_VERSION ${VERSION})
set(KIV_COMMIT ${COMMIT})
configure_file(${TEMPLATE} ${OUT}.new @ONLY)
file(COPY_FILE ${OUT}.new ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.new)
