# Each directory's sources are collected by pattern so that adding a module is
# adding its files: no shared list to edit.
function(qx_glob_sources out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp
         ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
