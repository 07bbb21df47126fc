#include "vector_max.h"

#include "messages.h"
#include "mpi_run.h"
#include "process_end.h"
#include "program_info.h"
#include "rank_log.h"

#include <mpi.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern const char log_name_pattern[] = "vector_max_p%d.log";

static const program_info vector_max_info = {
    "vector_max", "<filename>",
    "Run under the MPI launcher (mpirun -np N vector_max FILE). Rank 0 reads up to\n"
    "100 integers from the file, scatters equal blocks to every rank, and a\n"
    "max-reduction finds the largest, which rank 0 prints.\n"
    "\n"
    "  <filename>  integers separated by white space; reading stops at the first\n"
    "              item that is not an integer\n"
    "\n"
    "Log files: rank 0 appends the result to vector_max_p0.log in the working\n"
    "directory.\n",
    "docs/mpi.md"};

namespace {

enum read_outcome { read_value, read_end, read_no_integer, read_out_of_range };

// Reads one decimal integer as the "%d" conversion does (leading white space,
// optional sign, digits; the first other character stays in the stream), but
// tells an integer beyond the 32-bit range apart instead of storing a wrapped
// value.
read_outcome read_int(FILE* in, int* value) {
    int c;
    do c = fgetc(in);
    while (c != EOF && std::isspace(c));
    if (c == EOF) return read_end;
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = fgetc(in);
    }
    if (c == EOF || !std::isdigit(c)) {
        if (c != EOF) ungetc(c, in);
        return read_no_integer;
    }
    long long magnitude = 0;
    bool too_large = false;
    for (; c != EOF && std::isdigit(c); c = fgetc(in)) {
        if (too_large) continue;
        magnitude = magnitude * 10 + (c - '0');
        too_large = magnitude > -static_cast<long long>(INT_MIN);
    }
    if (c != EOF) ungetc(c, in);
    const long long signed_value = negative ? -magnitude : magnitude;
    if (too_large || signed_value > INT_MAX) return read_out_of_range;
    *value = static_cast<int>(signed_value);
    return read_value;
}

// Skips the UTF-8 byte-order mark that some Windows editors write at the
// start of a file. Returns false when the stream opens with a part of the mark
// only: those bytes are gone, and the item they begin is no integer.
bool skip_byte_order_mark(FILE* in) {
    const unsigned char mark[] = {0xEF, 0xBB, 0xBF};
    for (size_t i = 0; i < sizeof mark; ++i) {
        const int c = fgetc(in);
        if (c == static_cast<int>(mark[i])) continue;
        if (i > 0) return false;
        if (c != EOF) ungetc(c, in);
        return true;
    }
    return true;
}

// Heap array of n ints (at least one element, so an empty block is a real
// buffer too). Running out of memory ends the whole job.
int* alloc_ints(int n) {
    int* values = static_cast<int*>(malloc(sizeof(int) * static_cast<size_t>(n > 0 ? n : 1)));
    if (values == nullptr) {
        fprintf(stderr, "Out of memory\n");
        MPI_Abort(MPI_COMM_WORLD, 1);
        exit(1);  // not reached: the abort ends every rank
    }
    return values;
}

int max_of(const int* values, int count, int start) {
    int result = start;
    for (int i = 0; i < count; ++i)
        if (values[i] > result) result = values[i];
    return result;
}

}  // namespace

void usage(const char* program_name) { exit_with_usage("Usage:", program_name, "<filename> "); }

void read_vector(int* vector, int* count, const char* file_name) {
    FILE* in = fopen(file_name, "r");
    if (in == nullptr) {
        const int reason = errno;
        fprintf(stderr, "Can't open data file\n");
        report_file_error("vector_max", file_name, reason);
        return;
    }
    int i = 0;
    const bool part_of_mark = !skip_byte_order_mark(in);
    for (;;) {
        int value = 0;
        const read_outcome outcome =
            i == 0 && part_of_mark ? read_no_integer : read_int(in, &value);
        // A failed read (EIO, a directory's EISDIR) looks like the end of the
        // file to fgetc: the values read so far are not the file's.
        if (ferror(in)) {
            const int reason = errno != 0 ? errno : EIO;
            fprintf(stderr, "Can't read data file\n");
            report_file_error("vector_max", file_name, reason);
            fclose(in);
            *count = 0;
            return;
        }
        if (outcome == read_end) break;
        if (outcome != read_no_integer && i == vector_capacity) {
            fprintf(stderr, "Only the first %d values of %s are used\n", vector_capacity,
                    file_name);
            break;
        }
        if (outcome == read_no_integer)
            fprintf(stderr,
                    "Reading of %s stopped at an item that is not an integer; the values after it "
                    "are ignored\n",
                    file_name);
        if (outcome == read_out_of_range)
            fprintf(stderr, "Integer out of range in %s; it and the values after it are ignored\n",
                    file_name);
        if (outcome != read_value) break;
        vector[i++] = value;
    }
    *count = i;
    if (i == 0) fprintf(stderr, "No integers in %s\n", file_name);
    fclose(in);
}

int process_zero(const char* file_name, int* count) {
    *count = 0;
    int local_max = INT_MIN;
    int global_max = INT_MIN;
    int size = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &size);

    int* vector = alloc_ints(vector_capacity);
    read_vector(vector, count, file_name);
    int block_size = *count / size;
    MPI_Bcast(&block_size, 1, MPI_INT, 0, MPI_COMM_WORLD);

    int* block = alloc_ints(block_size);
    MPI_Scatter(vector, block_size, MPI_INT, block, block_size, MPI_INT, 0, MPI_COMM_WORLD);
    local_max = max_of(block, block_size, local_max);
    // The values after the last full block go to no rank; rank 0 looks at them.
    const int scattered = size * block_size;
    local_max = max_of(vector + scattered, *count - scattered, local_max);
    MPI_Reduce(&local_max, &global_max, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);

    free(block);
    free(vector);
    return global_max;
}

void process_other_rank() {
    int block_size = 0;
    MPI_Bcast(&block_size, 1, MPI_INT, 0, MPI_COMM_WORLD);
    int* block = alloc_ints(block_size);
    MPI_Scatter(nullptr, 0, MPI_INT, block, block_size, MPI_INT, 0, MPI_COMM_WORLD);
    const int local_max = max_of(block, block_size, INT_MIN);
    MPI_Reduce(&local_max, nullptr, 1, MPI_INT, MPI_MAX, 0, MPI_COMM_WORLD);
    free(block);
}

void print_vector(const int* values, int count, const char* label) {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    printf("%s %d: ", label, rank);
    for (int i = 0; i < count; ++i) printf("%d ", values[i]);
    printf("\n");
}

int main(int argc, char* argv[]) {
    if (answer_info_request(argc, argv, vector_max_info))
        return close_standard_output(vector_max_info.name, 0);
    if (argc != 2) usage(argv[0]);
    const size_t name_size = strlen(argv[1]) + 1;
    char* file_name = static_cast<char*>(malloc(name_size));
    if (file_name == nullptr) {
        fprintf(stderr, "Out of memory\n");
        return 1;
    }
    memcpy(file_name, argv[1], name_size);

    start_ranks();
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    int status = 0;
    if (rank != 0) {
        process_other_rank();
    } else {
        int count = 0;
        const int max = process_zero(file_name, &count);
        if (count > 0) {
            printf("The max value in %s is %d \n", file_name, max);
            log_result(max);
        } else {
            status = 1;  // read_vector said why
        }
    }
    free(file_name);
    return end_ranks(vector_max_info.name, status);
}
