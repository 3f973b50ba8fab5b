// Sleep: pauses the calling thread for a number of milliseconds (0 returns at
// once). A signal that interrupts the pause ends it early and it is not
// resumed: every caller sleeps inside a loop that re-checks its own state.
// Safe for concurrent use.
#ifndef VIGILD_MULTITASK_SLEEP_H
#define VIGILD_MULTITASK_SLEEP_H

void Sleep(unsigned milliseconds);

#endif  // VIGILD_MULTITASK_SLEEP_H
