// Target paths: 8.3 conversion for volumes that take only short names, and
// creation of a folder together with its missing ancestors.
#ifndef DRAVEX_ARCHIVE_PATHS_H
#define DRAVEX_ARCHIVE_PATHS_H

#include "platform/base.h"

char* shorten_component(char* dest, const char* begin, const char* end);
void make_short_path(char* path);
int create_folder_path(const char* path);

#endif
