// Opening an output file that must not hold up or mislead the run.
//
// fopen(name, "w") waits without end for a reader when the name is a FIFO,
// and would write into whatever a FIFO or socket leads to. An output is a
// regular file (created when missing) or a device such as /dev/null; a
// directory, FIFO, socket or symbolic link by its name is refused at once. A
// link is never followed: written through, it would overwrite whatever it
// leads to (a raw file, or another output).
#ifndef ZORV_OUTPUT_FILE_H
#define ZORV_OUTPUT_FILE_H

#include <cstdio>

enum class OutputMode {
    kTruncate,  // start the file anew
    kAppend,    // write behind what it holds
    kKeep,      // write from the start, but cut nothing yet
};

// Opens `name` for writing, creating it when missing, without blocking.
// Returns the stream, or nullptr: then
// *refusal is nullptr when the file could not be opened at all (errno says
// why), or says why it was refused: "it is a directory", "it is a symbolic
// link" or "it is not a regular file". Nothing is truncated before the type
// has been checked.
std::FILE* open_output_file(char const* name, OutputMode mode, char const** refusal);

#endif
