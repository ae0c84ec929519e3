// Inside the OS layer: what the path operations need of the buffered file
// handles (platform/handles.cpp). Not for use outside platform/.
#ifndef PLATFORM_HANDLES_H
#define PLATFORM_HANDLES_H

#include <stdint.h>
#include <sys/types.h>

// Hands every pending output byte to the OS.
void handles_flush_all(void);
// As handles_flush_all, and gives back the space reserved beyond the end of
// each output file; the files are then as unbuffered writes would have left
// them (before their times or permissions are set by path).
void handles_settle_all(void);

// Takes an output file just opened (by the path calls, which checked what
// it is) into the table, with write-behind; truncated first when asked.
// The handle, or -1 with the descriptor closed.
int handles_adopt_output(int fd, bool truncate);

// True when the file was opened for reading in this run.
bool handles_is_input(dev_t dev, ino_t ino);

// For tests: the handles open now.
int32_t handles_open(void);

// For tests: the free space below which output buffers reserve their file
// range (normally 64 MiB); INT64_MAX makes every buffer reserve.
void handles_set_space_margin(int64_t bytes);

#endif
