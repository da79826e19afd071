// File store commands that are not built yet: each stops with a clear message.
#include "commands.h"
#include "common.h"
#include "filestore.h"
#include "archive.h"

void clear_menu(xd_t *, int, char **) { quit("clear is not available in this build"); }
void add_file(xd_t *, int, char **) { quit("add is not available in this build"); }
void resize_file(xd_t *, int, char **) { quit("resize is not available in this build"); }
void copy_file(xd_t *, int, char **) { quit("copy is not available in this build"); }
void move_file(xd_t *, int, char **) { quit("move is not available in this build"); }
void export_file(xd_t *, int, char **) { quit("export is not available in this build"); }
void remove_file(xd_t *, int, char **) { quit("remove is not available in this build"); }
void cat_file(xd_t *, int, char **) { quit("cat is not available in this build"); }
void pack_disk(xd_t *, int, char **) { quit("pack is not available in this build"); }
void check_disk(xd_t *, int, char **) { quit("check is not available in this build"); }
void save_archive(xd_t *, int, char **) { quit("save is not available in this build"); }
void load_archive(xd_t *, int, char **) { quit("load is not available in this build"); }
void create_archive(xd_t *, int, char **) { quit("create is not available in this build"); }
uint8_t *save_buff(xd_t *, const char *, const uint8_t *, uint32_t, bool) { quit("file store is not available in this build"); }
uint32_t load_buff(xd_t *, const char *, uint8_t *) { quit("file store is not available in this build"); }
uint8_t *find_file(const char *) { return nullptr; }
const char *get_name(const char *name) { return name; }
uint8_t *get_ar_header(FILE *) { quit("archives are not available in this build"); }
