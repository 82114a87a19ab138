/* The report's eight-bit texts, written and read back, and the shapes of
 * its rows and count line. */
#include "report_format.h"

#include <stdio.h>
#include <string.h>

char bit_text[BIT_TEXT_SIZE];

void write_bits(int x, char *text)
{
    int mask = 0x80;
    for (int i = 0; i < 8; i++, mask >>= 1)
        text[i] = (x & mask) == mask ? '1' : '0';
    text[8] = '\0';
}

const char *format_bits(int x)
{
    write_bits(x, bit_text);
    return bit_text;
}

void print_start(void)
{
    printf(REPORT_START_TEXT "\n");
    printf("%s", REPORT_BANNER);
}

void print_row_driven(int pattern)
{
    printf(REPORT_ROW_DRIVEN_FORMAT, format_bits(pattern));
}

void print_no_data(void)
{
    printf(REPORT_NO_DATA_TEXT "\n");
}

int print_row_read(int pattern, int value)
{
    printf(REPORT_ROW_READ_FORMAT, format_bits(value));
    return value != pattern;
}

void print_count(int errors)
{
    printf(REPORT_COUNT_FORMAT, errors);
}

void print_stray_byte(int index, unsigned byte)
{
    fprintf(stderr, REPORT_STRAY_BYTE_FORMAT, index, byte);
}

int is_report_blank(char c)
{
    return c == '\t' || c == ' ';
}

size_t without_trailing_blanks(const char *line, size_t length)
{
    while (length > 0 && is_report_blank(line[length - 1]))
        length--;
    return length;
}

int parse_bits(const char *text, size_t length)
{
    if (length != 8)
        return -1;
    int value = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] != '0' && text[i] != '1')
            return -1;
        value = value << 1 | (text[i] == '1');
    }
    return value;
}

/* The position of the first character after the blanks from at. */
static size_t after_blanks(const char *line, size_t length, size_t at)
{
    while (at < length && is_report_blank(line[at]))
        at++;
    return at;
}

int parse_row_start(const char *line, size_t length, size_t *rest_at)
{
    size_t bits_at = after_blanks(line, length, 0);
    if (bits_at == 0 || length - bits_at < 8)
        return -1;
    int driven = parse_bits(line + bits_at, 8);
    size_t rest = after_blanks(line, length, bits_at + 8);
    if (driven < 0 || rest == bits_at + 8 || rest == length)
        return -1;
    *rest_at = rest;
    return driven;
}

int parse_count_line(const char *line, size_t length)
{
    size_t prefix = sizeof REPORT_COUNT_PREFIX - 1;
    if (length <= prefix || length - prefix > 9 || memcmp(line, REPORT_COUNT_PREFIX, prefix) != 0)
        return -1;
    int count = 0;
    for (size_t i = prefix; i < length; i++) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        count = count * 10 + (line[i] - '0');
    }
    return count;
}
