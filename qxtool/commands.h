// Every command of the tool: (open target, word count, words after the
// command's name).
#pragma once

struct xd_t;

using command_fn = void (*)(xd_t *xd, int argc, char **argv);

// Layout commands.
void format_disk(xd_t *xd, int argc, char **argv);
void restore_disk(xd_t *xd, int argc, char **argv);
void update_disk(xd_t *xd, int argc, char **argv);
void sync_disk(xd_t *xd, int argc, char **argv);
void volume_id_disk(xd_t *xd, int argc, char **argv);
void print_info(xd_t *xd, int argc, char **argv);
// File store commands.
void clear_menu(xd_t *xd, int argc, char **argv);
void add_file(xd_t *xd, int argc, char **argv);
void resize_file(xd_t *xd, int argc, char **argv);
void copy_file(xd_t *xd, int argc, char **argv);
void move_file(xd_t *xd, int argc, char **argv);
void export_file(xd_t *xd, int argc, char **argv);
void remove_file(xd_t *xd, int argc, char **argv);
void cat_file(xd_t *xd, int argc, char **argv);
void pack_disk(xd_t *xd, int argc, char **argv);
void check_disk(xd_t *xd, int argc, char **argv);
// Menus.
void add_menu(xd_t *xd, int argc, char **argv);
void cat_menu(xd_t *xd, int argc, char **argv);
// Archives.
void save_archive(xd_t *xd, int argc, char **argv);
void load_archive(xd_t *xd, int argc, char **argv);
void create_archive(xd_t *xd, int argc, char **argv);

// The whole command line as `main` runs it; returns the exit status.
// Usable in-process: every error comes back as status 1 with its message
// printed on standard error.
int qxtool_main(int argc, char **argv);
