// The simulated device's end of the line: a pseudo-terminal whose master
// the monitor plays on, and the optional --link name the program opens.
// The device can vanish and come back, so the pty is opened and closed as
// a unit that can be repeated.
//
//   OpenPty      new raw pty; the master non-blocking, the slave held open
//   ClosePty     closes both sides: a client of the slave sees a hang-up
//   MakeLink     points a symlink at the slave (replacing an old symlink)
//   RemoveLink   removes the symlink while it still points at our slave
//   AnnouncePty  OpenPty, MakeLink, and "PTY <slave>" on stdout for the starter
//   RecordBytes  appends bytes that reached the device's input to --transcript
//   ReadTyped    reads what the client typed from the master and records it
//   PollFor      ppoll() for at most iWaitNs (-1: no bound) under a signal mask
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include <poll.h>
#include <signal.h>
#include <sys/types.h>

struct SimPty {
  int iMaster = -1;  // -1: no pty (not opened yet, or the device is away)
  int iSlave = -1;
  std::string sSlavePath;
};

// Reports on stderr and returns false on failure (with nothing left open).
bool OpenPty(SimPty *pPty);
void ClosePty(SimPty *pPty);

bool MakeLink(const std::string &sLinkPath, const std::string &sTarget);
void RemoveLink(const std::string &sLinkPath, const std::string &sTarget);
// sLinkPath empty: no link. False (nothing left open) on failure.
bool AnnouncePty(SimPty *pPty, const std::string &sLinkPath);

// One "<seconds>.<microseconds> <HH>" line per byte, flushed at once, so a
// test reads what the device got even while the simulator runs on.
// Nothing happens without a transcript (pTranscript nullptr).
void RecordBytes(FILE *pTranscript, const uint8_t *pData, size_t iSize, int64_t iNowNs);

// Reads what is available from iMaster into aBuffer, records it and sets
// *piArrivalNs: all bytes of one read() count as arriving at that time (the
// pty hands over together what the sender wrote together). Returns the
// count, 0 when nothing more is there (after EIO, from a slave that someone
// hung up, *piPausedUntilNs says when to look again instead of spinning),
// or -1 on a fatal error (reported).
ssize_t ReadTyped(int iMaster, uint8_t *aBuffer, size_t iSize, FILE *pTranscript,
                  int64_t *piArrivalNs, int64_t *piPausedUntilNs);

// As ppoll(): the ready count, or -1 with errno (EINTR when a signal came).
int PollFor(pollfd *aFds, nfds_t iCount, int64_t iWaitNs, const sigset_t *pMask);

// One wait of a poll loop over the iCount descriptors set up in aFds, and
// standard input after them where bWatchStdin (--exit-on-stdin-eof), whose
// end ends the loop. aFds has room for one more.
enum PollOutcome { kPollReady, kPollAgain, kPollFailed, kPollStdinEnded };
PollOutcome WaitForEvents(pollfd *aFds, nfds_t iCount, bool bWatchStdin, int64_t iWaitNs,
                          const sigset_t *pMask);
