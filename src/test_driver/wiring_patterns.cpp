/* The wiring test's pattern sequence. Kept apart from the test itself so
 * that a reader of reports can link it without the rest of the system. */
#include "wiring_patterns.h"

const unsigned char wiring_patterns[FULL_TEST_STEPS] = {
    /* Walking one, then all low: each low pin is seen high on its own. The
     * ninth step is 1 << 8, which is 0x00 in a byte. */
    0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x00,
    /* Alternate pins against each other, then all low and all high. */
    0xAA, 0x55, 0x00, 0xFF,
};
