// "win.txt": pairs read with "%lf %lf" until the end of the file; white space,
// blank lines included, may stand anywhere between the numbers.

#include "io/kernel_file.h"

#include <cmath>
#include <cstdio>

#include "io/input_file.h"

int read_kernel_file(char const* name, double* table, int capacity, int* count)
{
    *count = 0;
    char const* refusal;
    FILE* fp = open_input_file(name, "r", &refusal);
    if (!fp) {
        if (refusal)
            std::printf("Error: Cannot open window file '%s' (%s)\n", name, refusal);
        else
            std::printf("Error: Cannot open window file '%s'\n", name);
        return 1;
    }

    int n = 0;
    int status = 0;
    for (;;) {
        double position, value;
        int got = std::fscanf(fp, "%lf %lf", &position, &value);
        if (got == EOF) break;
        if (got != 2) {
            if (got == 1 && std::feof(fp))
                std::printf("Error: Window file '%s': the last pair (number %d) is incomplete\n",
                            name, n + 1);
            else
                std::printf("Error: Window file '%s': pair number %d is not a pair of numbers\n",
                            name, n + 1);
            status = 1;
            break;
        }
        if (n == capacity) {
            std::printf("Error: Window file '%s' holds more than %d coefficients\n", name,
                        capacity);
            status = 1;
            break;
        }
        if (!std::isfinite(value)) {
            std::printf("Error: Window file '%s': coefficient number %d is not finite\n", name,
                        n + 1);
            status = 1;
            break;
        }
        table[n++] = value;
    }
    std::fclose(fp);
    if (status) return 1;

    if (n == 0) {
        std::printf("Error: Window file '%s' holds no coefficients\n", name);
        return 1;
    }
    if (n % 2 == 0) {
        std::printf("Error: Window file '%s' holds an even number of coefficients (%d); "
                    "the kernel needs a centre\n", name, n);
        return 1;
    }
    bool any = false;
    for (int i = 0; i < n; ++i) any = any || table[i] != 0.0;
    if (!any) {
        std::printf("Error: Window file '%s': all coefficients are zero\n", name);
        return 1;
    }
    // The SmoothingWindow divides by this sum, taken in the same order: if it
    // overflows, every coefficient becomes 0 and every smoothed trace NaN.
    double abs_sum = 0.0;
    for (int i = 0; i < n; ++i) abs_sum += std::fabs(table[i]);
    if (!std::isfinite(abs_sum)) {
        std::printf("Error: Window file '%s': the coefficients are too large to normalise\n",
                    name);
        return 1;
    }
    *count = n;
    return 0;
}
