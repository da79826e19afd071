// Shared between the platform device layers: device-name parsing and the
// handle's common fields.
#pragma once

#include <cstdint>

// "(hdN)", "(hdN,P)", "(fdN)", "(fdN,P)". kind is 'h' or 'f'; part is -1
// when no partition was given. Returns false for anything else that begins
// with '(' (such a name never opens).
struct dev_name {
    char kind = 0;
    int num = 0;
    int part = -1;
};
bool parse_dev_name(const char *name, dev_name *out);

// Sets what xd_open_error reports (nullptr: nothing).
void xd_set_open_error(const char *msg);
