// Exit codes of the qvx tool, defined once for every command.
#ifndef DRAVEX_HOST_EXIT_CODES_H
#define DRAVEX_HOST_EXIT_CODES_H

namespace host {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_MEMBERS_FAILED = 1,  // CRC-32 mismatch, cannot create, unsafe name
    EXIT_FAILED = 2,          // the archive is damaged or cannot be read, or nothing could be written
    EXIT_NO_SPACE = 4,        // qvx x: the destination's volume has less room than the files need
    EXIT_USAGE = 7,           // bad command line
    EXIT_NO_MEMORY = 8,       // not enough memory (nothing is left half-written)
};

}  // namespace host

#endif
