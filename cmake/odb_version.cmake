# Sets ODB_VERSION to the project's version, read from the project() call of the root
# CMakeLists.txt. For the parts that also configure on their own (the Windows program's cross
# build), which do not see that project; the root has it as PROJECT_VERSION.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../CMakeLists.txt odb_project_call
  REGEX "^project\\(odb_tools VERSION [0-9.]+")
string(REGEX REPLACE "^project\\(odb_tools VERSION ([0-9.]+).*" "\\1" ODB_VERSION
  "${odb_project_call}")
if(NOT ODB_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "no project version found in ${CMAKE_CURRENT_LIST_DIR}/../CMakeLists.txt")
endif()
