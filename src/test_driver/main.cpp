/*
 * The process around the entry function: standard output set up for a report
 * that is read while it is written, and a run whose report was lost does not
 * end as a success.
 */
#include "entry.h"

#include <stdio.h>

/* Each line leaves the process as soon as it ends, into a pipe or a log as
 * on a terminal: the prompt reaches a reader before the tool waits for the
 * digit, a run cut short by a signal keeps the lines it printed, and the
 * status names on standard error land between the rows they belong to. The
 * Microsoft C runtime takes _IOLBF for full buffering, so there the stream
 * is unbuffered instead; the bytes are the same either way. */
static void buffer_output_by_line(void)
{
#ifdef _WIN32
    setvbuf(stdout, NULL, _IONBF, 0);
#else
    setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
#endif
}

int main(int argc, char *argv[])
{
    buffer_output_by_line();
    int status = wiretest_main(argc, argv);
    /* A full disk or a closed descriptor loses the report without a word. */
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ERROR: can not write to standard output\n");
        status = -1;
    }
    return status;
}
