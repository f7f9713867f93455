# cmake -DSOURCE_DIR= -DWORK= -DCXX_COMPILER= [-DCXX_FLAGS=] -P core_example_test.cmake
# Builds examples/core, which embeds the source tree with add_subdirectory
# and links cgiecho::embed, then runs it on a request.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/core_example_run.cmake")
file(REMOVE_RECURSE "${WORK}")
run_checked("configuring examples/core" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/core" -B "${WORK}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Release
  "-DCGIECHO_SOURCE_DIR=${SOURCE_DIR}")
run_checked("building examples/core" "${CMAKE_COMMAND}" --build "${WORK}" --target core_example -j 2)
core_example_run("${WORK}/core_example")
