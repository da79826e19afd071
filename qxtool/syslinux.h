// Patching a stored SYSLINUX loader (ldlinux.bin, versions 3 and 4) for
// the place it occupies on the disk.
#pragma once

#include <cstdint>

struct xd_t;

// Patches the stored file of item in place and sets its syslinux flag.
// The item must lie in the extended data area (plain sectors).
void syslinux_patch(xd_t *xd, uint8_t *item);

// The patch on a loader image in memory: buf holds the file's first
// ceil(size / 512) sectors; second is the file's second sector counted from
// the start of the first partition. Returns the number of leading sectors
// that changed: 2, or 3 for a version-3 loader whose fields reach past the
// second sector.
uint32_t syslinux_patch_image(uint8_t *buf, uint32_t size, uint32_t second);
