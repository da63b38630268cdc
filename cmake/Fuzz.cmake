# libFuzzer targets build only with clang and VELTRANO_FUZZ=ON (the test
# command uses a second build folder, build-fuzz). Each target is also a
# CTest test labelled "fuzz" that runs it for VELTRANO_FUZZ_SECONDS on its
# seed corpus, so the test command smoke-runs every fuzzer.
set(VELTRANO_FUZZ_SECONDS 15 CACHE STRING "Seconds each fuzzer runs in the smoke test")

if(VELTRANO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VELTRANO_FUZZ needs clang (CXX=clang++)")
  endif()
  # clang 14 cannot emit UBSan's function-type check for coroutines ("Cannot
  # represent a difference across sections"), so that one check is left out.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(fuzzers)
endif()

# veltrano_add_fuzzer(<name> SOURCES ... LIBS ... [CORPUS dir])
function(veltrano_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  veltrano_warnings(${name})
  add_dependencies(fuzzers ${name})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  set(seeds "")
  if(ARG_CORPUS)
    set(seeds ${ARG_CORPUS})
  endif()
  add_test(NAME fuzz.${name}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
      sh -c "mkdir -p '${work}' && exec '$<TARGET_FILE:${name}>' -max_total_time=${VELTRANO_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 '${work}' ${seeds}")
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
