#pragma once

// Whether a standard stream (1 = output, 2 = error) is a terminal, so that front ends draw progress
// only where a person watches.
bool IsTerminal(int Stream);
