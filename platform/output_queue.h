// output_queue.h - the bounded queue behind WriteOutput, the same on every
// back-end.
//
// A print must never block the thread that makes it, so WriteOutput only puts
// it into this queue and a writer thread of the back-end takes it to the
// console. The queue holds a few seconds of the fastest device's echo, so an
// output blocked only briefly loses nothing. While the output stays blocked
// and the queue is full, further prints are dropped whole and counted; once
// the queue has drained, one notice says how many bytes were not shown.
// Prints keep their order and never interleave: each enters in one piece,
// and there is one writer.
//
// The back-end holds its own lock around every call here and does the
// waiting and waking with its own primitives; the queue only keeps the bytes.
// What the writer does with them, how WriteOutput hands a print over and how
// FlushOutput waits are the same on every back-end: RunOutputWriter,
// PutOutput and WaitOutputIdle, over the primitives of an OutputBackEnd.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum { kOutputQueueSize = 1 << 20 };

struct OutputQueue {
  char aBytes[kOutputQueueSize];
  size_t iHead;                 // the first queued byte
  size_t iLength;               // bytes queued, those being written included
  bool bWriting;                // the writer is busy with bytes it has taken
  unsigned long long iDropped;  // bytes dropped since the last notice
};

// What the writer does next.
enum WriterStep {
  kWriterSleep,   // nothing to write: wait for a print (and tell FlushOutput)
  kWriterNotice,  // write the notice of dropped bytes
  kWriterChunk,   // write queued bytes, then call ChunkWritten
};

// Puts the print in whole, or counts it as dropped when it does not fit.
// Returns whether the writer must be woken: it sleeps only on an empty queue.
bool QueuePrint(OutputQueue *pQueue, const char *pBytes, size_t iCount);

// The writer's next step; *ppBytes and *piCount say what to write. The bytes
// of a chunk stay queued while they are written, so no print is put over
// them; a notice is written into szNotice.
WriterStep NextWriterStep(OutputQueue *pQueue, char *szNotice, size_t iNoticeSize,
                          const char **ppBytes, size_t *piCount);
void ChunkWritten(OutputQueue *pQueue, size_t iCount);

// Everything queued is out, the notice included.
bool OutputQueueIdle(const OutputQueue *pQueue);

// A back-end's primitives. Each back-end has one queue, one lock and one
// writer, so they take no handle of them.
struct OutputBackEnd {
  void (*Lock)();
  void (*Unlock)();
  // With the lock held, these sleep until the other side's call (or iMaxMs
  // have passed) and hold the lock again when they return.
  void (*WaitForPrint)();
  void (*WakeWriter)();
  void (*WaitForDrain)(uint32_t iMaxMs);
  void (*TellDrained)();
  // Writes all of it, or gives up on an output that has failed for good (a
  // reader gone, a closed handle): those bytes have nowhere to go.
  void (*WriteAll)(const char *pBytes, size_t iCount);
};

// The writer thread, for ever: the bytes are written with the lock let go,
// so that a print is queued while the output is blocked.
void RunOutputWriter(OutputQueue *pQueue, const OutputBackEnd &oBackEnd);
// WriteOutput: the print into the queue, and the writer woken if it sleeps;
// where no writer thread could be had, written in place, as well as we can.
void PutOutput(OutputQueue *pQueue, const OutputBackEnd &oBackEnd, bool bWriterRunning,
               const char *pBytes, size_t iCount);
// FlushOutput: waits up to iMaxMs for everything queued to be out, and says
// whether it is. Without a writer there is nothing to wait for.
bool WaitOutputIdle(OutputQueue *pQueue, const OutputBackEnd &oBackEnd, bool bWriterRunning,
                    uint32_t iMaxMs);
