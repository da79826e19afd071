# Writes OUT: the boot record program's main source with the common sector-0
# code two bytes further on, so that its sector 0 and its stage 2 (which
# calls into sector 0) go with each other and with no other build.
file(READ "${SRC}" text)
string(REPLACE "SHARED_AT equ 0x62" "SHARED_AT equ 0x64" shifted "${text}")
if(shifted STREQUAL text)
  message(FATAL_ERROR "shifted_boot.cmake: SHARED_AT equ 0x62 not found in ${SRC}")
endif()
file(WRITE "${OUT}" "${shifted}")
