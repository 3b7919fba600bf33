# Builds and runs the host program of the README as a project of its own:
# the first ```cmake and ```cpp blocks after the heading "Using the SDK in a
# host program" become its CMakeLists.txt and main.cpp, with the
# repository's path in place of path/to/tolv.
#
#   cmake -DTOLV_DIR=<repository> -DSOURCE_DIR=<dir> -DBINARY_DIR=<dir>
#         -DBUILD_TYPE=<type> -DSANITIZE=<ON|OFF> -P HostExample.cmake
#
# BINARY_DIR should sit beside the repository's own build tree (same depth
# under the repository), so that ccache, given the repository as its base
# directory, finds the objects that tree compiled.

foreach(variable TOLV_DIR SOURCE_DIR BINARY_DIR BUILD_TYPE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "HostExample.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ "${TOLV_DIR}/README.md" readme)
string(FIND "${readme}" "### Using the SDK in a host program" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no section \"Using the SDK in a host program\"")
endif()
string(SUBSTRING "${readme}" ${start} -1 section)

# The text of the first fenced block of the language in the section.
function(fenced_block language out)
  string(FIND "${section}" "```${language}\n" begin)
  if(begin EQUAL -1)
    message(FATAL_ERROR "the README section has no ```${language} block")
  endif()
  string(LENGTH "```${language}\n" fence)
  math(EXPR begin "${begin} + ${fence}")
  string(SUBSTRING "${section}" ${begin} -1 rest)
  string(FIND "${rest}" "```" end)
  string(SUBSTRING "${rest}" 0 ${end} block)
  set(${out} "${block}" PARENT_SCOPE)
endfunction()

fenced_block(cmake lists)
fenced_block(cpp program)
string(REPLACE "path/to/tolv" "${TOLV_DIR}" lists "${lists}")
# Copied only when changed, so an unchanged program is not compiled again.
file(WRITE "${SOURCE_DIR}/extracted/CMakeLists.txt" "${lists}")
file(WRITE "${SOURCE_DIR}/extracted/main.cpp" "${program}")
configure_file("${SOURCE_DIR}/extracted/CMakeLists.txt" "${SOURCE_DIR}/CMakeLists.txt" COPYONLY)
configure_file("${SOURCE_DIR}/extracted/main.cpp" "${SOURCE_DIR}/main.cpp" COPYONLY)

# The compile commands must match the repository's own build for ccache.
set(ENV{CCACHE_BASEDIR} "${TOLV_DIR}")
set(ENV{CCACHE_NOHASHDIR} "1")
set(options -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DTOLV_SANITIZE=${SANITIZE})
execute_process(COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G Ninja ${options}
                RESULT_VARIABLE configured)
if(NOT configured EQUAL 0)
  message(FATAL_ERROR "configuring the host program failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${BINARY_DIR}" --target host_example RESULT_VARIABLE built)
if(NOT built EQUAL 0)
  message(FATAL_ERROR "building the host program failed")
endif()

# A home of its own, with an empty main bundle.
set(home "${BINARY_DIR}/run")
file(REMOVE_RECURSE "${home}")
file(MAKE_DIRECTORY "${home}/data" "${home}/bundle")
set(ENV{TOLV_HOME} "${home}/data")
set(ENV{TOLV_KEYCHAIN_HOME} "${home}/keychain")
set(ENV{TOLV_RESOURCES} "${home}/bundle")
unset(ENV{TOLV_ENDPOINTS_FILE})
# A program that hangs while it ends fails here instead of at the test timeout.
execute_process(COMMAND "${BINARY_DIR}/host_example" RESULT_VARIABLE ran OUTPUT_VARIABLE output TIMEOUT 60)
message("${output}")
if(NOT ran EQUAL 0)
  message(FATAL_ERROR "the host program failed: ${ran}")
endif()
if(NOT output MATCHES "analytics configured")
  message(FATAL_ERROR "the host program did not configure analytics")
endif()
