// The extraction driver: walks the compressed directory and produces every
// folder and file under the destination folder. The same code runs in the
// stub (owner = the main dialog) and in the host tool (owner = null).
#ifndef DRAVEX_ARCHIVE_DRIVER_H
#define DRAVEX_ARCHIVE_DRIVER_H

#include "platform/platform.h"

// Extracts everything into the folder held in dest_path. Returns 0 when the
// run ended normally or its failure was already shown, or a negative code the
// caller must report. Refuses to be entered again while it runs.
ResultCode extract_all(WindowHandle owner);
ResultCode load_directory_piece(u8* buffer);

#endif
