#ifndef WIRETEST_CHANNEL_SETUP_H
#define WIRETEST_CHANNEL_SETUP_H

/* Reset the opened device, configure the channel and switch it into MPSSE
 * mode, one confirmed step at a time; 0, or -1 at the first failed step. */
int setup_channel(void);

#endif
