// The volume-id command: gives the data partition of a QX disk a new
// volume ID (serial number) in place, the volume otherwise left byte for
// byte as it is. A FAT12, FAT16 or FAT32 volume keeps its ID in the boot
// sector, FAT32 also in the backup boot sector; an exFAT volume in the boot
// sector of both boot regions, whose checksums change with it.
//
// Everything is read and checked before the first write.
#include "commands.h"
#include "common.h"
#include "disk.h"
#include "exfat.h"
#include "layout.h"
#include "xdio.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A sector of the volume as it is read and as it will be written: the
// volume's own sector number and its bytes.
struct volume_sector {
    uint32_t at;
    uint8_t bytes[SECTOR];
};

void read_volume_sector(xd_t *xd, uint32_t start, uint32_t at, uint8_t *out) {
    seek_disk(xd, start + at);
    read_disk(xd, global_buffer, 1);  // raw devices take this buffer as it is
    memcpy(out, global_buffer, SECTOR);
}

[[noreturn]] void damaged(const char *what) { quit("boot sector of the data partition is damaged (%s)", what); }

// The sectors that hold a FAT volume's ID, with the new ID put in. b is the
// boot sector, size the partition's size.
std::vector<volume_sector> plan_fat_id(xd_t *xd, uint32_t start, uint32_t size, const uint8_t *b, uint32_t id) {
    if (get16(b + bpb::BYTS_PER_SEC) != SECTOR) damaged("bytes per sector");
    const uint32_t spc = b[bpb::SEC_PER_CLUS];
    if (spc == 0 || (spc & (spc - 1))) damaged("sectors per cluster");
    const uint32_t reserved = get16(b + bpb::RSVD_SEC_CNT);
    if (reserved == 0) damaged("reserved sectors");
    const uint32_t total = get16(b + bpb::TOT_SEC16) ? get16(b + bpb::TOT_SEC16) : get32(b + bpb::TOT_SEC32);
    if (total == 0 || total > size) damaged("total sectors");
    // The FAT32 form of the boot sector is the one with no 16-bit FAT size.
    const bool fat32 = get16(b + bpb::FAT_SZ16) == 0;
    const uint32_t fat_size = fat32 ? get32(b + bpb::FAT_SZ32) : get16(b + bpb::FAT_SZ16);
    const uint64_t root = (uint64_t(get16(b + bpb::ROOT_ENT_CNT)) * 32 + SECTOR - 1) / SECTOR;
    if (fat_size == 0 || reserved + uint64_t(b[bpb::NUM_FATS]) * fat_size + root >= total) damaged("fat size");
    // The extended boot signature 0x29 (or the older 0x28) says that the ID
    // field is there.
    const uint8_t sig = b[fat32 ? bpb::BOOT_SIG32 : bpb::BOOT_SIG];
    if (sig != 0x29 && sig != 0x28) quit("boot sector of the data partition has no volume id field");
    const uint32_t field = fat32 ? bpb::VOL_ID32 : bpb::VOL_ID;

    std::vector<volume_sector> out;
    if (fat32) {
        // The backup boot sector is written first and changes exactly as
        // the boot sector does; it must be a copy of the boot sector's
        // parameters, or it is no backup of this volume.
        const uint32_t backup = get16(b + bpb::BK_BOOT_SEC);
        if (backup != 0 && backup != 0xFFFF) {
            if (backup >= reserved || backup == get16(b + bpb::FS_INFO)) damaged("backup boot sector");
            volume_sector s;
            s.at = backup;
            read_volume_sector(xd, start, backup, s.bytes);
            if (s.bytes[mbr::SIGNATURE] != 0x55 || s.bytes[mbr::SIGNATURE + 1] != 0xAA ||
                memcmp(s.bytes + bpb::BYTS_PER_SEC, b + bpb::BYTS_PER_SEC, field - bpb::BYTS_PER_SEC))
                quit("backup boot sector of the data partition differs from its boot sector");
            put32(s.bytes + field, id);
            out.push_back(s);
        }
    }
    volume_sector s;
    s.at = 0;
    memcpy(s.bytes, b, SECTOR);
    put32(s.bytes + field, id);
    out.push_back(s);
    return out;
}

// An exFAT volume: the boot sector and the checksum sector of each boot
// region, the backup region first.
std::vector<volume_sector> plan_exfat_id(xd_t *xd, uint32_t start, uint32_t size, uint32_t id) {
    if (size < 2 * exfat::REGION_SECTORS) quit("boot region of the exfat data partition is damaged");
    std::vector<volume_sector> out;
    for (uint32_t first : {exfat::REGION_SECTORS, 0u}) {
        const char *name = first ? "backup boot region" : "boot region";
        std::vector<uint8_t> region(exfat::REGION_SECTORS * SECTOR);
        for (uint32_t i = 0; i < exfat::REGION_SECTORS; i++)
            read_volume_sector(xd, start, first + i, region.data() + i * SECTOR);
        const uint8_t *b = region.data();
        if (!is_exfat_boot(b) || b[mbr::SIGNATURE] != 0x55 || b[mbr::SIGNATURE + 1] != 0xAA)
            quit("%s of the exfat data partition is damaged", name);
        uint32_t sum = exfat_boot_checksum(b);
        const uint8_t *sums = b + exfat::CHECKSUM_SECTOR * SECTOR;
        for (uint32_t i = 0; i < SECTOR; i += 4)
            if (get32(sums + i) != sum) quit("%s of the exfat data partition is damaged (checksum)", name);
        if (b[exfat::BYTES_PER_SECTOR_SHIFT] != 9 || get32(b + exfat::VOLUME_LENGTH + 4) != 0 ||
            get32(b + exfat::VOLUME_LENGTH) > size)
            quit("%s of the exfat data partition is damaged (volume length)", name);

        put32(region.data() + exfat::VOLUME_SERIAL, id);
        sum = exfat_boot_checksum(region.data());
        volume_sector boot, check;
        boot.at = first;
        memcpy(boot.bytes, region.data(), SECTOR);
        check.at = first + exfat::CHECKSUM_SECTOR;
        for (uint32_t i = 0; i < SECTOR; i += 4) put32(check.bytes + i, sum);
        out.push_back(boot);
        out.push_back(check);
    }
    return out;
}

// The ID as given: a plain unsigned number with automatic base, nothing
// after it.
uint32_t read_id(const char *text) {
    const uint32_t id = get_number(text);  // a sign, blanks and overflow are refused there
    char *end = nullptr;
    strtoull(text, &end, 0);
    if (end == text || *end) quit("invalid volume id %s", text);
    return id;
}

}  // namespace

void volume_id_disk(xd_t *xd, int argc, char **argv) {
    if (argc < 1) quit("not enough parameters");
    if (argc > 1) quit("too many parameters");
    const uint32_t id = read_id(argv[0]);

    // The QX layout, and its data partition in slot 0.
    seek_disk(xd, 0);
    read_header(xd, 0);
    uint8_t sector0[SECTOR];
    seek_disk(xd, 0);
    read_disk(xd, global_buffer, 1);
    memcpy(sector0, global_buffer, SECTOR);
    const uint8_t *e = sector0 + mbr::PART_TABLE;
    const uint32_t start = get32(e + pte::START), size = get32(e + pte::COUNT);
    if (start == 0 || size == 0) quit("no data partition");
    const uint32_t disk = xd_size(xd);
    if (disk != 0xFFFFFFFFu && uint64_t(start) + size > disk)
        quit("data partition at sector %u reaches past the end of the disk", start);

    uint8_t boot[SECTOR];
    read_volume_sector(xd, start, 0, boot);
    std::vector<volume_sector> plan;
    if (is_exfat_boot(boot)) {
        plan = plan_exfat_id(xd, start, size, id);
    } else {
        // Other file systems that start with a jump and end their boot
        // sector with 55 AA (NTFS) have no FATs.
        if (boot[mbr::SIGNATURE] != 0x55 || boot[mbr::SIGNATURE + 1] != 0xAA ||
            (boot[bpb::JMP_BOOT] != 0xEB && boot[bpb::JMP_BOOT] != 0xE9) || boot[bpb::NUM_FATS] == 0)
            quit("data partition holds no fat or exfat volume");
        plan = plan_fat_id(xd, start, size, boot, id);
    }

    if (xd_lock(xd)) quit("can't lock disk");
    for (const volume_sector &s : plan) {
        seek_disk(xd, start + s.at);
        memcpy(global_buffer, s.bytes, SECTOR);
        write_disk(xd, global_buffer, 1);
    }
}
