# cmake -DREPLAY= -DPROGRAM= -DFOLDER= [-DLOADER= -DPATH_PREFIX=] -P replay_captures.cmake
# Replays every capture of FOLDER against PROGRAM with cgiecho-replay
# --compare: the program must answer each recorded request with exactly the
# recorded response. LOADER runs a Windows build's replay (Wine), which then
# sees the files under PATH_PREFIX (Z:) and finds PROGRAM beside itself.
cmake_minimum_required(VERSION 3.20)
file(GLOB captures LIST_DIRECTORIES false "${FOLDER}/*.capture")
list(SORT captures)
list(LENGTH captures count)
if(count EQUAL 0)
  message(FATAL_ERROR "no captures in ${FOLDER}")
endif()
set(failed "")
foreach(capture IN LISTS captures)
  execute_process(COMMAND ${LOADER} "${REPLAY}" --compare "${PATH_PREFIX}${capture}" -- "${PROGRAM}"
    RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE err TIMEOUT 120)
  get_filename_component(name "${capture}" NAME)
  if(NOT status EQUAL 0)
    message(STATUS "FAIL ${name}: ${status}\n${said}${err}")
    list(APPEND failed "${name}")
  else()
    string(STRIP "${said}" said)
    message(STATUS "ok   ${name}: ${said}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "answers differ from the captured ones: ${failed}")
endif()
message(STATUS "${count} captures replayed, every answer the same")
