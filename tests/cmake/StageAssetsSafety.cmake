# The staging tool on inputs a user gets wrong: each case runs it in a scratch
# directory holding a user's file and checks its exit status and that it
# deleted nothing it had not created.
#   cmake -DSTAGER=<korva_stage_assets> -DMODEL=<model folder> -DWORK=<scratch dir>
#         -P StageAssetsSafety.cmake
cmake_minimum_required(VERSION 3.20)

# name | working dir (in WORK) | arguments (',' between) | exit | must exist (+ between) | must not exist
set(cases
  "help|cwd|--help|0|cwd/user.txt|cwd/--help"
  "help_after_run_dir|cwd|run,--help|0|cwd/user.txt|cwd/run"
  "current_dir_not_staged|cwd|.,--model,@MODEL@|2|cwd/user.txt+cwd/.git/HEAD|cwd/.korva_stage_run"
  "user_dir_not_staged|cwd|mine,--model,@MODEL@|2|cwd/mine/notes.txt|cwd/mine/.korva_stage_run"
  "missing_model_keeps_staged_dir|cwd|staged,--model,@WORK@/no-such-model|2|cwd/staged/keep.txt|"
  "missing_video_keeps_staged_dir|cwd|staged,--video,@WORK@/no-such.mp4|2|cwd/staged/keep.txt|"
  "option_as_run_dir|cwd|--model,@MODEL@|2|cwd/user.txt|cwd/--model"
  "unknown_option|cwd|run,--modle,@MODEL@|2||cwd/run"
  "fresh_dir_staged|cwd|run,--model,@MODEL@|0|cwd/run/.korva_stage_run+cwd/user.txt|"
  "staged_dir_restaged|cwd|staged,--model,@MODEL@|0|cwd/staged/.korva_stage_run+cwd/user.txt|cwd/staged/keep.txt"
  "empty_dir_staged|cwd|empty,--model-as-file|0|cwd/empty/.korva_stage_run|"
  "model_inside_staged_dir|cwd|staged,--model,staged/model|2|cwd/staged/model/model.onnx+cwd/staged/keep.txt|"
  "video_inside_staged_dir|cwd|staged,--video,staged/../staged/clip.mp4|2|cwd/staged/clip.mp4+cwd/staged/keep.txt|"
  "model_is_staged_dir|cwd|staged,--model,staged|2|cwd/staged/keep.txt|"
  "model_through_link_into_staged_dir|cwd|staged,--model,link/model|2|cwd/staged/model/model.onnx|")

foreach(var STAGER MODEL WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not set")
  endif()
endforeach()

set(problems "")
foreach(case IN LISTS cases)
  string(REPLACE "@MODEL@" "${MODEL}" case "${case}")
  string(REPLACE "@WORK@" "${WORK}" case "${case}")
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 name)
  list(GET fields 1 cwd)
  list(GET fields 2 args)
  list(GET fields 3 expect)
  list(GET fields 4 present)
  list(GET fields 5 absent)
  string(REPLACE "," ";" args "${args}")
  string(REPLACE "+" ";" present "${present}")

  # A scratch tree: a user's files, a directory of the user's, a directory
  # the tool staged earlier, an empty one.
  file(REMOVE_RECURSE "${WORK}")
  file(WRITE "${WORK}/cwd/user.txt" "user data\n")
  file(WRITE "${WORK}/cwd/.git/HEAD" "ref: refs/heads/main\n")
  file(WRITE "${WORK}/cwd/mine/notes.txt" "user data\n")
  file(WRITE "${WORK}/cwd/staged/.korva_stage_run" "")
  file(WRITE "${WORK}/cwd/staged/keep.txt" "from an earlier staging\n")
  file(MAKE_DIRECTORY "${WORK}/cwd/empty")
  file(WRITE "${WORK}/cwd/staged/model/model.onnx" "user model\n")
  file(WRITE "${WORK}/cwd/staged/clip.mp4" "user video\n")
  file(CREATE_LINK "${WORK}/cwd/staged" "${WORK}/cwd/link" SYMBOLIC)

  execute_process(COMMAND "${STAGER}" ${args} WORKING_DIRECTORY "${WORK}/${cwd}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc STREQUAL expect)
    string(APPEND problems "  ${name}: exit ${rc}, expected ${expect}: ${err}\n")
  endif()
  if(name MATCHES "^help" AND NOT out MATCHES "usage: korva_stage_assets")
    string(APPEND problems "  ${name}: no usage text on standard output\n")
  endif()
  if(NOT rc EQUAL 0 AND err STREQUAL "")
    string(APPEND problems "  ${name}: failed without a reason\n")
  endif()
  foreach(path IN LISTS present)
    if(NOT EXISTS "${WORK}/${path}")
      string(APPEND problems "  ${name}: ${path} is gone\n")
    endif()
  endforeach()
  if(NOT absent STREQUAL "" AND EXISTS "${WORK}/${absent}")
    string(APPEND problems "  ${name}: ${absent} exists\n")
  endif()
endforeach()
file(REMOVE_RECURSE "${WORK}")

if(problems)
  message(FATAL_ERROR "korva_stage_assets:\n${problems}")
endif()
list(LENGTH cases n)
message("${n} cases passed")
