// Byte-level access to raw waveform files, result files and decay lists.

#include "io/datafile.h"

int seek_record(FILE* fp, long offset, int r)
{
    const off_t at = static_cast<off_t>(offset) + static_cast<off_t>(kRecordBytes) * r;
    return fseeko(fp, at, SEEK_SET) == 0 ? 0 : 1;
}

int seek_first_record(FILE* fp, long offset)
{
    return seek_record(fp, offset, 0);
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

void append_result_record(std::string& out, double const* block)
{
    out.append(reinterpret_cast<char const*>(block), kResultBytes);
}

int write_decay_line(FILE* fp, double decay)
{
    std::string line;
    append_decay_line(line, decay);
    return std::fwrite(line.data(), 1, line.size(), fp) == line.size() ? 0 : 1;
}

void append_decay_line(std::string& out, double decay)
{
    // "%.12f" of the largest double has 309 digits before the point.
    char line[400];
    const int n = std::snprintf(line, sizeof line, "%.12f\n", decay);
    out.append(line, static_cast<size_t>(n));
}
