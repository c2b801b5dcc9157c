# Installs the build into a scratch prefix and runs the installed
# korva-detect there: it must find the installed detector library on its own.
# -DBUILD_DIR=... -DPREFIX=... -DMODEL=... -DIMAGE_DIR=...
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${status})")
endif()
file(MAKE_DIRECTORY "${IMAGE_DIR}")
# A 4x4 gray PGM: enough for one inference.
file(WRITE "${IMAGE_DIR}/gray.pgm" "P2\n4 4\n255\n128 128 128 128\n128 128 128 128\n128 128 128 128\n128 128 128 128\n")
execute_process(COMMAND "${PREFIX}/bin/korva-detect" --model "${MODEL}" -q --jsonl - "${IMAGE_DIR}/gray.pgm"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE "${PREFIX}" "${IMAGE_DIR}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "installed korva-detect exited with ${status}: ${err}")
endif()
if(NOT out MATCHES "^\\{\"source\":\"gray\",\"frame\":0,[^\n]*\"status\":\"inspected\"")
  message(FATAL_ERROR "unexpected record: ${out}")
endif()
