// The command line: global options, opening the target, the command table
// and the header read/write around each command.
#include "commands.h"
#include "disk.h"
#include "common.h"
#include "filestore.h"
#include "layout.h"
#include "xdio.h"

#include <cstdio>
#include <cstring>

void list_devs();

namespace {

enum HeaderMode { NO_HEADER, DISK_ONLY, ARCHIVE_OK };
// What a command does to its target: READS opens it read-only where it can
// and shares it with other runs that read; WRITES needs it writable and
// holds it alone for the whole run.
enum Access { READS, WRITES };

struct command {
    const char *name;
    HeaderMode read;
    Access access;
    bool write_after;
    command_fn fn;
};

const command command_table[] = {
    {"format", NO_HEADER, WRITES, false, format_disk},
    {"restore", NO_HEADER, WRITES, false, restore_disk},
    // update rewrites the list unchanged: it stays as it lies, since a list
    // stored anew may need a commit record whose copy goes to the data areas.
    {"update", DISK_ONLY, WRITES, false, update_disk},
    {"sync", DISK_ONLY, WRITES, false, sync_disk},
    {"info", ARCHIVE_OK, READS, false, print_info},
    {"clear", ARCHIVE_OK, WRITES, true, clear_menu},
    {"add", ARCHIVE_OK, WRITES, true, add_file},
    {"add-menu", ARCHIVE_OK, WRITES, true, add_menu},
    {"resize", ARCHIVE_OK, WRITES, true, resize_file},
    {"copy", ARCHIVE_OK, WRITES, true, copy_file},
    {"move", ARCHIVE_OK, WRITES, true, move_file},
    {"export", ARCHIVE_OK, READS, false, export_file},
    {"remove", ARCHIVE_OK, WRITES, true, remove_file},
    {"cat", ARCHIVE_OK, READS, false, cat_file},
    {"cat-menu", ARCHIVE_OK, READS, false, cat_menu},
    {"pack", ARCHIVE_OK, WRITES, true, pack_disk},
    {"check", DISK_ONLY, READS, false, check_disk},
    {"save", ARCHIVE_OK, READS, false, save_archive},
    {"load", ARCHIVE_OK, WRITES, true, load_archive},
    {"create", NO_HEADER, WRITES, false, create_archive},
    // Reads the layout itself: nothing of the file store is needed.
    {"volume-id", NO_HEADER, WRITES, false, volume_id_disk},
};

const char usage_text[] =
    "Usage:\n"
    "\tqxtool [OPTIONS] DEVICE_OR_FILE COMMANDS [PARAMETERS]\n"
    "\n"
    "Global Options:\n"
    "  --help,-h\t\tDisplay this message and exit\n"
    "  --version,-V\t\tPrint version information and exit\n"
    "  --list,-l\t\tList all disks in system and exit\n"
    "  --verbose,-v\t\tPrint verbose messages\n"
    "  --debug,-d\t\tUse the debug version of mbr\n"
    "\n"
    "Commands:\n"
    "  format\t\tFormat disk\n"
    "    --raw,-r\t\tFormat with normal layout (not bootable)\n"
    "    --force,-f\t\tForce the creation of data partition\n"
    "    --zip,-z\t\tFormat as USB-ZIP\n"
    "    --fat16\t\tFormat data partition as FAT16\n"
    "    --fat32\t\tFormat data partition as FAT32\n"
    "    --align,-a\t\tAlign to cluster boundary\n"
    "    --nalign,-n NUM\t\tNAND alignment\n"
    "    --unit-size,-u NUM\tUnit size for FAT16/FAT32 in sectors\n"
    "    --base,-b NUM\tSet base boot sector\n"
    "    --size,-s NUM\tSet size of data partition\n"
    "    --primary,-p NUM\tSet primary data size\n"
    "    --extended,-e NUM\tSet extended data size\n"
    "    --list-size,-l NUM\tSet size of file list\n"
    "    --max-sectors NUM\tSet maximum number of sectors per read\n"
    "    --chs\t\tForce chs mode\n"
    "    --archive FILE\tInitialize qx using archive file\n"
    "  restore\t\tTry to restore qx mbr\n"
    "  update\t\tUpdate boot code\n"
    "  sync\t\t\tSynchronize disk information\n"
    "    --copy-bpb\t\tCopy bpb from the first partition\n"
    "    --reset-bpb\t\tReset bpb to inital state\n"
    "    --clear-bpb\t\tClear bpb\n"
    "    --max-sectors NUM\tSet maximum number of sectors per read\n"
    "    --chs\t\tForce chs mode\n"
    "    --zip,-z\t\tFormat as USB-ZIP\n"
    "  info\t\t\tShow disk information\n"
    "  clear\t\t\tClear files\n"
    "  add NAME [FILE]\tAdd/update file item\n"
    "    --extended,-e\tStore the file in extended data area\n"
    "    --syslinux,-s\tPatch syslinux boot file\n"
    "  add-menu NAME FILE\tAdd/update menu file\n"
    "    --append,-a\t\tAppend to existing menu file\n"
    "    --string,-s\t\tThe menu items are passed as command argument\n"
    "  resize NAME SIZE\tResize/create file item\n"
    "    --extended,-e\tStore the file in extended data area\n"
    "    --fill,-f NUM\tSet fill character for expansion\n"
    "  copy OLD NEW\t\tCopy file item\n"
    "  move OLD NEW\t\tMove file item\n"
    "  export NAME [FILE]\tExport file item\n"
    "  remove NAME\t\tRemove file item\n"
    "  cat NAME\t\tShow the content of text file\n"
    "  cat-menu NAME\t\tShow the content of menu file\n"
    "  pack\t\t\tPack free space\n"
    "  check\t\t\tCheck primary data area for inconsistency\n"
    "  save FILE\t\tSave to archive file\n"
    "    --list-size,-l NUM\tSet size of file list\n"
    "  load FILE\t\tLoad from archive file\n"
    "  create\t\tCreate archive file\n"
    "    --primary,-p NUM\tSet primary data size\n"
    "    --extended,-e NUM\tSet extended data size\n"
    "    --list-size,-l NUM\tSet size of file list\n";

// Closes the target if the run ends early, whatever the reason.
struct open_target {
    xd_t *xd = nullptr;
    ~open_target() { xd_close(xd); }
};

int run(int argc, char **argv) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "--help") || !strcmp(a, "-h")) {
            fputs(usage_text, stdout);
            return 1;
        } else if (!strcmp(a, "--version") || !strcmp(a, "-V")) {
            fprintf(stderr, "%s version : %s build %d\n", progname, "1.6", 1);
            return 1;
        } else if (!strcmp(a, "--list") || !strcmp(a, "-l")) {
            list_devs();
            flush_stdout();
            return 0;
        } else if (!strcmp(a, "--verbose") || !strcmp(a, "-v")) {
            verbosity++;
        } else if (!strcmp(a, "--debug") || !strcmp(a, "-d")) {
            qx_mbr_data = qx_mbr_dbg;
            qx_mbr_size = int(MBR_IMAGE_SIZE);
        } else {
            quit("invalid option %s", a);
        }
    }
    if (argc - i < 2) quit("no device name or command");

    const char *name = argv[i + 1];
    const command *cmd = nullptr;
    for (const command &c : command_table)
        if (!strcmp(c.name, name)) {
            cmd = &c;
            break;
        }
    const bool writes = !cmd || cmd->access == WRITES;

    // A run that only reads takes a target it may not write; one that
    // writes says when the target is read-only. A file that does not exist
    // is created either way.
    // The device layer may know why an open failed (a target in use, a
    // sector size the layout cannot take): that is the message then.
    open_target target;
    auto open_as = [&](int write) {
        target.xd = xd_open(argv[i], write);
        if (!target.xd)
            if (const char *why = xd_open_error()) quit("%s", why);
    };
    if (!writes) open_as(0);
    if (!target.xd) open_as(1);
    if (!target.xd && cmd && writes && (target.xd = xd_open(argv[i], 0)) != nullptr)
        quit("%s is read-only, %s can't write to it", argv[i], name);
    if (!target.xd) quit("open %s fails", argv[i]);
    if (!cmd) quit("Invalid command %s", name);
    if (xd_claim(target.xd, writes)) quit("%s is in use by another run", argv[i]);

    if (cmd->read != NO_HEADER) open_store(target.xd, cmd->read == ARCHIVE_OK, writes);
    cmd->fn(target.xd, argc - i - 2, argv + i + 2);
    if (cmd->write_after) write_header(target.xd);
    flush_disk(target.xd);
    xd_close(target.xd);
    target.xd = nullptr;
    xd_unlock();
    return 0;
}

}  // namespace

void reset_globals() {
    verbosity = 0;
    set_disk_base(0);
    reset_layout();
    reset_filestore();
}

int qxtool_main(int argc, char **argv) {
    reset_globals();
    xd_binary_stdio();
    clearerr(stdout);  // a failed write of an earlier run in this process
    int status;
    try {
        status = run(argc, argv);
    } catch (const Fatal &e) {
        fflush(stdout);
        fprintf(stderr, "%s: error: %s\n", progname, e.what());
        status = 1;
    }
    fflush(stdout);
    return status;
}

// The disks of the system that open for reading and writing, one line each.
void list_devs() {
    for (int n = 0; n < 20; n++) {
        char name[16];
        snprintf(name, sizeof name, "(hd%d)", n);
        xd_t *xd = xd_open(name, 1);
        if (!xd) continue;
        uint32_t size = xd_size(xd);
        alignas(4096) static uint8_t sec[512];
        if (size != 0xFFFFFFFFu && xd_seek(xd, 0) == 0 && xd_read(xd, sec, 1) == 0) {
            bool qx = sec[510] == 0x55 && sec[511] == 0xAA && !memcmp(sec + mbr::MAGIC, "QXBF", 4) &&
                      get16(sec + mbr::COPY_NO) == 0;
            unsigned long v;
            char unit;
            if (size < 3145728) {
                v = (size + 1024ul) / 2048;
                unit = 'm';
            } else {
                v = (uint64_t(size) + 1048576) / 2097152;
                unit = 'g';
            }
            printf("%s: %lu (%lu%c)%s\n", name, (unsigned long)size, v, unit, qx ? " *" : "");
        }
        xd_close(xd);
    }
}

void update_disk(xd_t *xd, int, char **) { update_header(xd); }
