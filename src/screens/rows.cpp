// Bounded row count and name copy for the lobby and result tables.
#include "screens/rows.h"

#include <algorithm>
#include <cstring>

int client_rows()
{
    return std::clamp(Nclient, 0, MAXPLAYER);
}

void copy_name(char out[NAME_TEXT], const char name[NAME_BYTES])
{
    size_t len = strnlen(name, NAME_BYTES);
    memcpy(out, name, len);
    out[len] = '\0';
}
