// Reader of the smoothing-kernel file "win.txt".
//
// One pair of numbers per line: the first of each pair is ignored (an index
// or a position, for the reader's eye), the second is the coefficient.
#ifndef ZORV_KERNEL_FILE_H
#define ZORV_KERNEL_FILE_H

// Reads the coefficients of the file `name` into table (room for `capacity`
// values) and their number into *count. Returns 0 on success. Returns 1 after
// printing one "Error: " line when the file cannot be opened or is not a
// regular file (a directory, a FIFO, a device), holds more than
// `capacity` pairs, an item that is not a number, an incomplete last pair, a
// non-finite coefficient, no coefficient, an even number of coefficients
// (a kernel without a centre), only zero coefficients, or coefficients whose
// absolute values sum to more than the largest double (nothing to normalise
// by).
int read_kernel_file(char const* name, double* table, int capacity, int* count);

#endif
