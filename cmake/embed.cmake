# Turns the two assembled boot record images into a C++ source file.
# Inputs: REL, DBG (binary files), OUT (generated .cpp).
# The image size: sector 0 and four marked boot code sectors (512 + 4 * 510),
# as qxtool/layout.h declares the arrays.
set(IMAGE_SIZE 2552)
function(emit var file out)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR bytes "${n} / 2")
  if(NOT bytes EQUAL IMAGE_SIZE)
    message(FATAL_ERROR "${file} is ${bytes} bytes, not ${IMAGE_SIZE}")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," body "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" body "${body}")
  file(APPEND "${out}" "extern const uint8_t ${var}[${IMAGE_SIZE}] = {\n${body}\n};\n")
endfunction()
file(WRITE "${OUT}.tmp" "// Generated from bootrec/ at build time.\n#include <cstdint>\n")
emit(qx_mbr_rel "${REL}" "${OUT}.tmp")
emit(qx_mbr_dbg "${DBG}" "${OUT}.tmp")
file(RENAME "${OUT}.tmp" "${OUT}")
