#pragma once

namespace nexdir {

// Fixes how the C library's heap gives memory back; called first thing in main, before any
// thread starts. Left to itself, the heap raises its thresholds after each large block it
// frees, up to 32 MiB for a block to be mapped alone and 64 MiB of free room kept at the end
// of each per-thread heap, where the idle trim does not reach.
void settleProcessHeap();

// Gives the heap's free pages back to the system: after a burst of work, whose memory the
// heap otherwise keeps for the next one.
void returnFreeHeap();

} // namespace nexdir
