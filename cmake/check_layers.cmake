# Fails when a source folder includes a header of a folder above it.
# Run as: cmake -DSOURCE_DIR=<repo>/src -DLAYERS=<bottom|...|top> -P check_layers.cmake
# (the top-level CMakeLists.txt names the layers). src/tools/* may include
# every layer but service.
string(REPLACE "|" ";" layers "${LAYERS}")

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*.h ${SOURCE_DIR}/*.cpp)
set(violations "")
foreach(source ${sources})
  string(REGEX MATCH "^[^/]+" folder "${source}")
  if(folder STREQUAL "tools")
    list(FIND layers service rank)
    math(EXPR rank "${rank} - 1")
  else()
    list(FIND layers ${folder} rank)
    if(rank EQUAL -1)
      list(APPEND violations "${source}: folder '${folder}' has no place in the layers")
      continue()
    endif()
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*" "\\1" target "${line}")
    list(FIND layers ${target} targetRank)
    if(targetRank GREATER rank)
      list(APPEND violations "${source} includes ${target}/, a layer above its own")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Upward includes:\n  ${text}")
endif()
