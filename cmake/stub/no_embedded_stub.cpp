// Used when the tool is built without the Windows stub: qvx then needs a
// stub file given on its command line to make self-extractors.
#include "packer/sfx_builder.h"

namespace packer {

const std::vector<uint8_t>& embedded_stub()
{
    static const std::vector<uint8_t> none;
    return none;
}

}  // namespace packer
