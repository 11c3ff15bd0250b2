// Writing a small file so that it is always whole on disk.
#ifndef ZORV_ATOMIC_FILE_H
#define ZORV_ATOMIC_FILE_H

#include <string>

// Writes `text` to `name` through "<name>.tmp": the temporary file is made
// anew (whatever had its name is removed first, never written through: a
// link there would lead the text into another file, a FIFO would hold the
// run), written, put on disk and renamed into place, and the rename is put
// on disk too. A reader finds the old file or the new one, whole. Returns 0,
// or the errno of the step that failed (the old file is then still there),
// with *failed, when given, the name to report: the temporary file when
// what has its name cannot be removed (a folder), `name` otherwise.
int write_file_atomically(std::string const& name, std::string const& text,
                          std::string* failed = nullptr);

#endif
