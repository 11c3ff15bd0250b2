// Opening an input file that must be an ordinary file.
//
// fopen would open a folder without complaint (reading it then fails as if
// the file were empty), wait without end for a writer on a FIFO, and read a
// device such as /dev/zero for ever. An input must be a regular file.
#ifndef ZORV_INPUT_FILE_H
#define ZORV_INPUT_FILE_H

#include <cstdio>
#include <string>

struct stat;

// Opens `name` for reading with stdio `mode` ("r" or "rb") without blocking
// on a FIFO. Returns the stream, or nullptr: then *refusal is nullptr when
// the file could not be opened at all (errno says why), or says why it was
// refused: "it is a directory" or "it is not a regular file".
std::FILE* open_input_file(char const* name, char const* mode, char const** refusal);

// A file's state as a run records it, to tell later whether it is still the
// same file: "size S, modified T" (T in seconds and nanoseconds).
std::string file_state(struct stat const& st);

#endif
