# cmake -DSOURCE_DIR= -DWORK= -DCXX_COMPILER= [-DCXX_FLAGS=] -P web_example_test.cmake
# The README's web layer program is examples/web/web_example.cpp; this
# builds it on the source tree with add_subdirectory and cgiecho::web, as a
# user would, and runs it on a request.
cmake_minimum_required(VERSION 3.20)
include("${CMAKE_CURRENT_LIST_DIR}/run_checked.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/web_example_run.cmake")
file(REMOVE_RECURSE "${WORK}")

file(READ "${SOURCE_DIR}/README.md" readme)
string(FIND "${readme}" "\n## The C++ web layer\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md has no \"The C++ web layer\" section")
endif()
math(EXPR at "${at} + 1")
string(SUBSTRING "${readme}" ${at} -1 section)
string(FIND "${section}" "\n## " next)
if(next GREATER -1)
  string(SUBSTRING "${section}" 0 ${next} section)
endif()
file(READ "${SOURCE_DIR}/examples/web/web_example.cpp" example_cpp)
string(FIND "${section}" "```cpp\n${example_cpp}```" found)
if(found EQUAL -1)
  message(FATAL_ERROR "the README's web layer example differs from examples/web/web_example.cpp")
endif()

run_checked("configuring examples/web" "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/web" -B "${WORK}"
  "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=Release
  "-DCGIECHO_SOURCE_DIR=${SOURCE_DIR}")
run_checked("building examples/web" "${CMAKE_COMMAND}" --build "${WORK}" --target web_example -j 2)
web_example_run("${WORK}/web_example")
