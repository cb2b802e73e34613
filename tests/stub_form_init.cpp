// The stub-form decoder's one step of start-up, as the stub takes it before
// anything else: its CRC-32 tables are built at run time.
#include "codec/crc32.h"

namespace {

const int tables_built = (crc32_build_table(), 0);

}  // namespace
