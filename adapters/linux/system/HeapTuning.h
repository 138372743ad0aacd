// Process-wide allocator settings for a program that moves megabyte frames.
//
// glibc returns freed memory above its trim threshold to the kernel and serves
// large blocks with fresh mmaps, so every large clipboard frame would fault its
// pages in again; on virtual machines that costs more than the cipher. Keeping
// up to a few tens of megabytes of freed heap avoids it. Call once, early in
// main(), before any thread starts. Does nothing on other C libraries.
#pragma once

namespace sorvane {

void retainHeapForLargeFrames();

// Hands the free heap back to the kernel: for after a one-off peak (reading a
// long history at start-up) that the threshold above would otherwise keep.
// Any thread.
void releaseFreeHeap();

} // namespace sorvane
