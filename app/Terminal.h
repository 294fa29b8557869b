#pragma once

// Whether a standard stream (1 = output, 2 = error) is a terminal, so that front ends draw progress
// only where a person watches.
bool IsTerminal(int Stream);

// Writes to a pipe whose reader has gone fail (EPIPE) instead of ending the program, where the
// system would end it: the same on every path, whatever a library set up before.
void IgnoreBrokenPipe();
