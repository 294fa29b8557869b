#pragma once

// The system's own 8-bit upper-casing, applied in place to all 256 bytes. Answers false where the
// platform has no such call (the caller then folds by its own rules and the buffer is unchanged).
bool SystemUpperCase(unsigned char (&Bytes)[256]);
