// Menu commands that are not built yet: each stops with a clear message.
#include "commands.h"
#include "common.h"

void add_menu(xd_t *, int, char **) { quit("add-menu is not available in this build"); }
void cat_menu(xd_t *, int, char **) { quit("cat-menu is not available in this build"); }
