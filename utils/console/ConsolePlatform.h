// What the console's shared code asks of each platform's C runtime: descriptor calls under one
// set of names (console_posix.cpp, console_win32.cpp).
#pragma once

#include <cstddef>

// A pipe whose two ends no child process inherits: fds[0] reads, fds[1] writes. Binary, so the
// console's own end still translates line ends as it did before.
bool OpenPipe(int fds[2]);
int CopyDescriptor(int fd);
// Makes `to` another name of `from`'s file, closing what `to` named before.
bool MoveDescriptor(int from, int to);
// As read() and write(), with an interrupted call repeated: the count, 0 at the end, <0 failed.
long ReadDescriptor(int fd, char* bytes, size_t size);
long WriteDescriptor(int fd, const char* bytes, size_t size);
void CloseDescriptor(int fd);
// Told when stdout starts going into the pipe.
void DivertBegun();
