#include "commands.h"

int main(int argc, char **argv) { return qxtool_main(argc, argv); }
