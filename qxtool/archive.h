// Archive files: a file list and item data without boot code.
#pragma once

#include <cstdint>
#include <cstdio>

// Reads and checks an archive's header and list from a host file positioned
// at its start. Leaves the header sector in global_buffer and returns a
// buffer of n * 512 bytes (n = list sectors) whose first n * 510 bytes are
// the list bytes, contiguous. The caller frees it.
uint8_t *get_ar_header(FILE *f);
