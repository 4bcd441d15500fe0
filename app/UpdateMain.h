#pragma once

namespace Update {

// The main routine: argv in the local 8-bit encoding, program path first.
// Returns the process exit code.
int UpdateMain(int argc, char** argv);

} // namespace Update
