# Stages a run directory, runs WeaponDetectionTest in it and checks its exit
# status, JSON report and console output against what the case expects.
#
#   cmake -DEXE=<WeaponDetectionTest> -DSTAGER=<korva_stage_assets>
#         -DRUN_DIR=<dir> [-DSTAGE_ARGS=<args, '|'-separated>]
#         -DEXPECT_EXIT=0|1
#         [-DSKIPPED=<tests>] [-DSKIP_MESSAGE=<text>]
#         [-DFAILED=<tests>] [-DFAIL_MESSAGE=<text>]
#         [-DBENCH_LINE=ON] [-DFILTER=<gtest filter>] [-DPRELOAD=<library>]
#         [-DEXTRA_ENV=<name>=<value>] [-DENGINE=default|opencv|onnxruntime]
#         -P RunWeaponDetectionTest.cmake
#
# <tests> is a '|'-separated list of full test names or suite names; every
# test not listed in SKIPPED or FAILED must pass. Each skipped test's console
# section must contain SKIP_MESSAGE, each failed test's JSON failures must
# contain FAIL_MESSAGE.
cmake_minimum_required(VERSION 3.20)

set(all_tests
  WeaponUnitTest.EmptyFrameReturnsNoDetections
  WeaponUnitTest.TinyFrameReturnsNoDetections
  WeaponUnitTest.UninitializedDetectorReturnsNoDetections
  WeaponUnitTest.RunInferenceWithCameraId
  WeaponUnitTest.ConfigureParametersReturnsValidConfig
  WeaponUnitTest.DestroySucceeds
  WeaponUnitTest.DestroyCanBeCalledMultipleTimes
  WeaponUnitTest.InitializeWithInvalidDirectoryFails
  WeaponUnitTest.OptimizeBeforeInitializeReturnsFalse
  WeaponIntegrationTest.InitializeProducesLabelMap
  WeaponIntegrationTest.InferenceOnSolidFrameReturnsNoDetections
  WeaponIntegrationTest.InferenceOnSmallFrame
  WeaponIntegrationTest.InferenceOnLargeFrame
  WeaponIntegrationTest.DetectionResultFieldsAreValid
  WeaponIntegrationTest.PerformanceBenchmark
  WeaponIntegrationTest.ThreadSafetyConcurrentInference)

set(problems "")
macro(problem text)
  string(APPEND problems "  - ${text}\n")
endmacro()

function(in_set name set_text out)
  string(REPLACE "|" ";" entries "${set_text}")
  string(REGEX REPLACE "\\..*" "" suite "${name}")
  if(name IN_LIST entries OR suite IN_LIST entries)
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

foreach(var EXE STAGER RUN_DIR EXPECT_EXIT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()

foreach(var EXE STAGER RUN_DIR)
  get_filename_component(${var} "${${var}}" ABSOLUTE)
endforeach()

# GStreamer cannot open the staged names and only logs errors trying.
if(NOT DEFINED ENV{OPENCV_VIDEOIO_PRIORITY_GSTREAMER})
  set(ENV{OPENCV_VIDEOIO_PRIORITY_GSTREAMER} 0)
endif()

# Stage. RUN_DIR is this test's own directory in the build tree; starting it
# afresh also covers run directories staged before the stager marked them.
file(REMOVE_RECURSE "${RUN_DIR}")
string(REPLACE "|" ";" stage_args "${STAGE_ARGS}")
execute_process(COMMAND "${STAGER}" "${RUN_DIR}" ${stage_args} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "staging ${RUN_DIR} failed (${rc})")
endif()

# Run.
set(report "${RUN_DIR}.json")
file(REMOVE "${report}")
set(args --gtest_color=no "--gtest_output=json:${report}")
if(DEFINED FILTER AND NOT FILTER STREQUAL "")
  list(APPEND args "--gtest_filter=${FILTER}")
  string(REPLACE ":" ";" all_tests "${FILTER}")
endif()
set(env "")
if(DEFINED PRELOAD AND NOT PRELOAD STREQUAL "")
  list(APPEND env "LD_PRELOAD=${PRELOAD}")
endif()
if(DEFINED EXTRA_ENV AND NOT EXTRA_ENV STREQUAL "")
  list(APPEND env "${EXTRA_ENV}")
endif()
if(DEFINED ENGINE AND NOT ENGINE STREQUAL "" AND NOT ENGINE STREQUAL "default")
  list(APPEND env "KORVA_ENGINE=${ENGINE}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env ${env} "${EXE}" ${args}
                WORKING_DIRECTORY "${RUN_DIR}"
                RESULT_VARIABLE exit_code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")

if(NOT exit_code STREQUAL EXPECT_EXIT)
  problem("exit status ${exit_code}, expected ${EXPECT_EXIT}")
endif()
if(NOT EXISTS "${report}")
  message(FATAL_ERROR "no JSON report at ${report}\n${problems}")
endif()
file(READ "${report}" json)

# Walk the report in order.
set(seen "")
set(n_passed 0)
set(n_skipped 0)
set(n_failed 0)
string(JSON n_suites LENGTH "${json}" testsuites)
math(EXPR last_suite "${n_suites} - 1")
foreach(i RANGE ${last_suite})
  string(JSON suite GET "${json}" testsuites ${i} name)
  string(JSON n_cases LENGTH "${json}" testsuites ${i} testsuite)
  math(EXPR last_case "${n_cases} - 1")
  foreach(j RANGE ${last_case})
    string(JSON test GET "${json}" testsuites ${i} testsuite ${j} name)
    string(JSON result GET "${json}" testsuites ${i} testsuite ${j} result)
    string(JSON failures ERROR_VARIABLE failures_error GET "${json}" testsuites ${i} testsuite ${j} failures)
    set(name "${suite}.${test}")
    list(APPEND seen "${name}")

    # The key is absent unless the test failed; the error variable then
    # holds a message instead of NOTFOUND.
    if(NOT failures_error STREQUAL "NOTFOUND")
      if(result STREQUAL "SKIPPED")
        set(actual SKIPPED)
      else()
        set(actual PASSED)
      endif()
    else()
      set(actual FAILED)
    endif()
    string(TOLOWER "${actual}" actual_lc)
    math(EXPR n_${actual_lc} "${n_${actual_lc}} + 1")

    in_set("${name}" "${SKIPPED}" want_skip)
    in_set("${name}" "${FAILED}" want_fail)
    if(want_fail)
      set(expected FAILED)
    elseif(want_skip)
      set(expected SKIPPED)
    else()
      set(expected PASSED)
    endif()
    if(NOT actual STREQUAL expected)
      problem("${name}: ${actual}, expected ${expected}")
    endif()

    if(actual STREQUAL "FAILED" AND DEFINED FAIL_MESSAGE)
      string(FIND "${failures}" "${FAIL_MESSAGE}" at)
      if(at EQUAL -1)
        problem("${name}: failure does not mention '${FAIL_MESSAGE}'")
      endif()
    endif()
    if(actual STREQUAL "SKIPPED" AND DEFINED SKIP_MESSAGE)
      # The console section of the test: from its RUN line to its SKIPPED line.
      string(FIND "${out}" "[ RUN      ] ${name}\n" begin)
      string(FIND "${out}" "[  SKIPPED ] ${name} (" end)
      set(section "")
      if(begin GREATER -1 AND end GREATER begin)
        math(EXPR length "${end} - ${begin}")
        string(SUBSTRING "${out}" ${begin} ${length} section)
      endif()
      string(FIND "${section}" "Skipped\n${SKIP_MESSAGE}\n" at)
      if(at EQUAL -1)
        problem("${name}: skip message is not '${SKIP_MESSAGE}'")
      endif()
    endif()
  endforeach()
endforeach()

if(NOT seen STREQUAL all_tests)
  string(REPLACE ";" ", " seen_text "${seen}")
  problem("tests in the report, in order: ${seen_text}")
endif()

if(BENCH_LINE)
  string(REGEX MATCHALL "\\[Weapon\\] 100 frames: avg=[0-9.e+-]+ms/frame, detections=[0-9]+\n"
         lines "${out}")
  list(LENGTH lines n_lines)
  if(NOT n_lines EQUAL 1)
    problem("${n_lines} benchmark lines, expected 1")
  endif()
endif()

list(LENGTH seen n_run)
message("checked: ${n_run} run, ${n_passed} passed, ${n_skipped} skipped, ${n_failed} failed, "
        "exit ${exit_code}")
if(problems)
  message(FATAL_ERROR "unexpected results:\n${problems}")
endif()
