/* What the tool's report looks like, in one place: the tool prints its lines
 * with these texts, and readers of reports (wiretest-diagnose, the station)
 * take them apart with the helpers below, so that the two cannot drift. The
 * texts are literals, so that printf still checks the formats that take a
 * value. */
#ifndef WIRETEST_REPORT_FORMAT_H
#define WIRETEST_REPORT_FORMAT_H

#include <stddef.h>

/* The listing of devices, the first lines of every run that finds one. */
#define REPORT_LISTING_TEXT "Select device:"
#define REPORT_DEVICE_PREFIX "Device "
#define REPORT_DEVICE_FORMAT REPORT_DEVICE_PREFIX "%d (Serial Number: %s\n"

/* A blank line, then a rule of 54 equals signs: after the connection line
 * and after the start line. */
#define REPORT_RULE_TEXT "======================================================"
#define REPORT_BANNER "\n" REPORT_RULE_TEXT "\n"

/* Each setup step, and the connection, confirm themselves with a line that
 * begins so. */
#define REPORT_SUCCESS_PREFIX "SUCCESS ("
#define REPORT_CONNECTED_FORMAT REPORT_SUCCESS_PREFIX "Connected to the FTDI.%s)\n"

/* The setup is done and the rows follow. */
#define REPORT_START_TEXT "START TESTING"

/* A row: a tab, the driven pattern's eight bits and a tab, printed before
 * the read begins; then the read-back's eight bits and the line end. A read
 * that finds no answer prints the notice between the halves, so that its
 * eight ones stand on a line of their own. */
#define REPORT_ROW_DRIVEN_FORMAT "\t%s\t"
#define REPORT_ROW_READ_FORMAT "%s\n"
#define REPORT_NO_DATA_TEXT "no data ?!"

/* On standard error, each byte found waiting where no answer was due. */
#define REPORT_STRAY_BYTE_FORMAT "\t\t%i: 0x%X\n"

/* The last line of a run that reached its end: the failed patterns. */
#define REPORT_COUNT_PREFIX "Testing complete, errors: "
#define REPORT_COUNT_FORMAT REPORT_COUNT_PREFIX "%i\n"

/* The usage text, in its four prints; the first takes the program's path. */
#define USAGE_PREFIX "USAGE:"
#define USAGE_SYNOPSIS_FORMAT USAGE_PREFIX "\n\t%s [-nX] [-short] [-delay]\n\n"
#define USAGE_DEVICE_TEXT "\t\t\tX - id number of the device you want to test\n"
#define USAGE_SHORT_TEXT "\t\t\t-short - perform only a short test\n"
#define USAGE_DELAY_TEXT "\t\t\t-delay - use a short delay while performing test\n"

enum { BIT_TEXT_SIZE = 9 };

/* Printing a report: every run that prints rows, the tool's and the
 * station's fast one, prints them with these. */

/* The start line and the banner: the setup is done. On standard output, as
 * the rest. */
void print_start(void);

/* A row's first half. */
void print_row_driven(int pattern);

/* The notice of a read that found no answer, between a row's halves. */
void print_no_data(void);

/* A row's second half; 1 when value is not the pattern driven (the row
 * failed), else 0. */
int print_row_read(int pattern, int value);

/* The count line. */
void print_count(int errors);

/* On standard error, the index-th of the bytes found waiting where no answer
 * was due. */
void print_stray_byte(int index, unsigned byte);

extern char bit_text[BIT_TEXT_SIZE]; /* the eight bits of the last format_bits */

/* The low eight bits of x as 1s and 0s, most significant first, in bit_text.
 * A failed read (-1) shows as eight ones. */
const char *format_bits(int x);

/* The same into text, which holds BIT_TEXT_SIZE bytes: for readers that
 * must not share bit_text. */
void write_bits(int x, char *text);

/* Reading a report. A line is given by its start and length, without its
 * line end; text copied from a terminal or passed through expand has spaces
 * where the tool wrote tabs, so a blank is either. */

int is_report_blank(char c);

/* The length of line without the blanks at its end. */
size_t without_trailing_blanks(const char *line, size_t length);

/* The byte that eight characters of 0 and 1 spell, most significant first;
 * -1 when text is anything else. */
int parse_bits(const char *text, size_t length);

/* A row's first half: blanks, the driven pattern's eight bits, blanks. The
 * driven pattern, with *rest_at set to where the rest of the line begins;
 * -1 when the line does not begin as a row or nothing follows the half. */
int parse_row_start(const char *line, size_t length, size_t *rest_at);

/* The count of a count line, as %i prints a count (up to nine digits); -1
 * when line is no count line. */
int parse_count_line(const char *line, size_t length);

#endif
