# shopwalk_test(<target> SOURCES ... LIBS ... [LABELS ...] [ENV VAR=value ...] [TIMEOUT s])
# Builds one test executable and registers it with CTest under its own name. Labels select the
# sanitizer runs of scripts/test: "tsan" tests run under ThreadSanitizer, "asan" tests under
# AddressSanitizer + UBSan. Every test runs with the standard proxy variables emptied (which the
# programs take as unset), so that a proxy of whoever runs the tests never carries their requests
# elsewhere than the servers the tests start; ENV comes on top.
function(shopwalk_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  add_test(NAME ${target} COMMAND ${target})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  set_tests_properties(${target} PROPERTIES ENVIRONMENT
    "http_proxy=;https_proxy=;no_proxy=;HTTP_PROXY=;HTTPS_PROXY=;NO_PROXY=;${ARG_ENV}")
endfunction()
