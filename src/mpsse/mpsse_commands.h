/* The MPSSE opcodes wiretest sends, each with its payload and the chip's answer. */
#ifndef WIRETEST_MPSSE_COMMANDS_H
#define WIRETEST_MPSSE_COMMANDS_H

enum {
    MPSSE_SET_BITS_LOW = 0x80,     /* BYTE value, BYTE direction (1 = output); no answer */
    MPSSE_GET_BITS_LOW = 0x81,     /* answers one byte: the low pins' levels */
    MPSSE_SET_BITS_HIGH = 0x82,    /* BYTE value, BYTE direction; no answer */
    MPSSE_GET_BITS_HIGH = 0x83,    /* answers one byte: the high pins' levels */
    MPSSE_LOOPBACK_ON = 0x84,      /* TDI wired to TDO inside the chip; no answer */
    MPSSE_LOOPBACK_OFF = 0x85,     /* no answer */
    MPSSE_SEND_IMMEDIATE = 0x87,   /* the chip sends what it holds at once; no answer */
    MPSSE_BAD_COMMAND = 0xAB,      /* not an opcode: answers 0xFA, 0xAB */
};

enum {
    MPSSE_BAD_COMMAND_ANSWER = 0xFA, /* first byte of the answer to a bad opcode, which follows it */
};

enum {
    GPIO_ALL_OUTPUTS = 0xFF,       /* direction byte */
    GPIO_ALL_INPUTS = 0x00,
};

#endif
