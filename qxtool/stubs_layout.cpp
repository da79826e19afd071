// Layout commands that are not built yet: each stops with a clear message.
#include "commands.h"
#include "common.h"

void format_disk(xd_t *, int, char **) { quit("format is not available in this build"); }
void restore_disk(xd_t *, int, char **) { quit("restore is not available in this build"); }
void sync_disk(xd_t *, int, char **) { quit("sync is not available in this build"); }
void print_info(xd_t *, int, char **) { quit("info is not available in this build"); }
