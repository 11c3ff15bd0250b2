// Byte-level access to raw waveform files, result files and decay lists.

#include "datafile.h"

int seek_first_record(FILE* fp, long offset)
{
    return std::fseek(fp, offset, SEEK_SET) == 0 ? 0 : 1;
}

int read_event_record(FILE* fp, int16_t* record)
{
    return std::fread(record, 1, kRecordBytes, fp) == static_cast<size_t>(kRecordBytes) ? 1 : 0;
}

int write_result_record(FILE* fp, double const* block)
{
    return std::fwrite(block, sizeof(double), kBlockDoubles, fp) ==
                   static_cast<size_t>(kBlockDoubles)
               ? 0
               : 1;
}

int write_decay_line(FILE* fp, double decay)
{
    return std::fprintf(fp, "%.12f\n", decay) < 0 ? 1 : 0;
}
