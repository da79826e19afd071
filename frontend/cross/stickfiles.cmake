# Writes the resource script fragment that carries the stick's boot files:
# resource "STICK" 1 is the list of their paths ('/' separators, one a line),
# 2, 3, ... are the files in the list's order.
# Inputs: LIST (the list file, or empty for none), DIR (the tree it names),
# OUT (the fragment). The fragment is rewritten only when it changes; it
# names each file's size and time, so a changed file rebuilds the program.
set(text "// Made at build time from ${LIST}.\n")
if(LIST)
  file(STRINGS "${LIST}" paths)
  set(clean "")
  set(id 2)
  foreach(p ${paths})
    string(STRIP "${p}" p)
    if(p STREQUAL "")
      continue()
    endif()
    if(NOT EXISTS "${DIR}/${p}" OR IS_DIRECTORY "${DIR}/${p}")
      message(FATAL_ERROR "${LIST} names ${p}, which is not a file in ${DIR}")
    endif()
    file(SIZE "${DIR}/${p}" size)
    file(TIMESTAMP "${DIR}/${p}" stamp "%s")
    string(APPEND clean "${p}\n")
    string(APPEND text "${id} STICK \"${DIR}/${p}\" // ${size} bytes, ${stamp}\n")
    math(EXPR id "${id} + 1")
  endforeach()
  get_filename_component(outdir "${OUT}" DIRECTORY)
  file(WRITE "${outdir}/stickfiles.list.tmp" "${clean}")
  execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different
                  "${outdir}/stickfiles.list.tmp" "${outdir}/stickfiles.list")
  string(APPEND text "1 STICK \"${outdir}/stickfiles.list\"\n")
endif()
file(WRITE "${OUT}.tmp" "${text}")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${OUT}.tmp" "${OUT}")
