// The library's pseudo-random generator: the classic linear congruence, with
// its state kept per calling thread (the host calls us on one).
#pragma once

void SeedChipRandom(unsigned seed);
int ChipRandom();  // 0 .. 32767

// Seeds from the local time: day x month x year + ms + second + minute + hour.
void SeedChipRandomFromClock();

// Gives the thread-local slot back; called once at detach.
void ReleaseChipRandom();
