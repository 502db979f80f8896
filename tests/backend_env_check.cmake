# The outcome ctest gives a suite's test under the suites' skip expression, for the environment
# every suite links (backend_env.cpp) over stand-in paths (backend_env_probe.cpp): a path that is
# present and fails its self-test must fail, one the processor lacks must be skipped, a working
# one must pass.
#   cmake -DPROBE=<backend_env_probe> -DSKIP=<skip expression> -P backend_env_check.cmake
foreach(case scalar:Passed avx2:Failed avx512:Skipped)
  string(REPLACE ":" ";" case ${case})
  list(GET case 0 path)
  list(GET case 1 want)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TAVIK_BACKEND=${path} ${PROBE}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  # As ctest decides: the skip expression first, then the exit code.
  if("${out}${err}" MATCHES "${SKIP}")
    set(got Skipped)
  elseif(rc EQUAL 0)
    set(got Passed)
  else()
    set(got Failed)
  endif()
  if(NOT got STREQUAL want)
    message(FATAL_ERROR "TAVIK_BACKEND=${path}: ctest would say ${got}, not ${want} (exit ${rc}):\n${out}${err}")
  endif()
  message(STATUS "TAVIK_BACKEND=${path}: ${got}")
endforeach()
