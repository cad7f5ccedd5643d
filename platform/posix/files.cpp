// files.cpp - the capture file, the session log and the map's lock on
// POSIX: opening, locking, emptying or keeping, writing, flushing to the
// disk, and telling what a name reaches.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <string>

#include "platform/platform.h"

struct FileRec {
  int iFd;
  std::string sLockName;  // a lock file's name, removed when it is dropped
};

namespace {

// Opens the capture without emptying it, and takes it for this run: a
// capture that another run is still writing is refused and left whole. The
// lock is advisory and held until the process ends (the descriptor is never
// closed). A file system without locks is no reason to refuse the capture.
int OpenCaptureForUs(const char *szName) {
  int iFd = open(szName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (iFd < 0) return -1;
  if (flock(iFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(iFd);
    return -1;
  }
  return iFd;
}

FileHandle RecordOf(int iFd) {
  FileRec *pFile = new (std::nothrow) FileRec{iFd, std::string()};
  if (pFile == nullptr) close(iFd);
  return pFile;
}

bool SameNode(const struct stat &oA, const struct stat &oB) {
  return oA.st_dev == oB.st_dev && oA.st_ino == oB.st_ino;
}

}  // namespace

FileHandle CreateCaptureFile(const char *szName) {
  int iFd = OpenCaptureForUs(szName);
  if (iFd < 0) return nullptr;
  // Emptied only once we hold it, and only a regular file: a capture named
  // after a device (a link to /dev/null) is written as it is.
  struct stat oStat;
  if (fstat(iFd, &oStat) == 0 && S_ISREG(oStat.st_mode) && ftruncate(iFd, 0) != 0) {
    close(iFd);
    return nullptr;
  }
  return RecordOf(iFd);
}

FileHandle ResumeCaptureFile(const char *szName, uint64_t *pSize) {
  *pSize = 0;
  int iFd = OpenCaptureForUs(szName);
  if (iFd < 0) return nullptr;
  off_t iEnd = lseek(iFd, 0, SEEK_END);
  if (iEnd < 0) {
    close(iFd);
    return nullptr;
  }
  *pSize = static_cast<uint64_t>(iEnd);
  return RecordOf(iFd);
}

bool CutCaptureFile(FileHandle hFile, uint64_t iSize) {
  if (hFile == nullptr) return false;
  return ftruncate(hFile->iFd, static_cast<off_t>(iSize)) == 0 &&
         lseek(hFile->iFd, static_cast<off_t>(iSize), SEEK_SET) >= 0;
}

FileHandle OpenLogFile(const char *szName) {
  int iFd = open(szName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return iFd < 0 ? nullptr : RecordOf(iFd);
}

namespace {

// The folder part of a name ("." for a bare name), for telling whether two
// names that do not exist yet would make one file.
bool SameFolderAndLeaf(const char *szA, const char *szB) {
  const char *pLeafA = strrchr(szA, '/');
  const char *pLeafB = strrchr(szB, '/');
  const char *szLeafA = pLeafA != nullptr ? pLeafA + 1 : szA;
  const char *szLeafB = pLeafB != nullptr ? pLeafB + 1 : szB;
  if (strcmp(szLeafA, szLeafB) != 0) return false;
  std::string sDirA = pLeafA != nullptr ? std::string(szA, pLeafA + 1) : std::string("./");
  std::string sDirB = pLeafB != nullptr ? std::string(szB, pLeafB + 1) : std::string("./");
  struct stat oA;
  struct stat oB;
  return stat(sDirA.c_str(), &oA) == 0 && stat(sDirB.c_str(), &oB) == 0 && oA.st_dev == oB.st_dev &&
         oA.st_ino == oB.st_ino;
}

}  // namespace

bool SameFile(const char *szA, const char *szB) {
  struct stat oA;
  struct stat oB;
  bool bA = stat(szA, &oA) == 0;
  bool bB = stat(szB, &oB) == 0;
  if (bA && bB) return SameNode(oA, oB);
  if (bA || bB) return false;
  return SameFolderAndLeaf(szA, szB);
}

FileKind KindOfFile(const char *szName) {
  struct stat oStat;
  if (stat(szName, &oStat) != 0) return errno == ENOENT ? kFileAbsent : kFileOther;
  if (S_ISREG(oStat.st_mode)) return kFileRegular;
  if (S_ISDIR(oStat.st_mode)) return kFileFolder;
  if (S_ISFIFO(oStat.st_mode)) return kFileFifo;
  if (S_ISCHR(oStat.st_mode) || S_ISBLK(oStat.st_mode)) return kFileDevice;
  return kFileOther;
}

bool FlushFileToDisk(FileHandle hFile) { return hFile != nullptr && fsync(hFile->iFd) == 0; }

LockTaking TakeLockFile(const char *szName, FileHandle *phLock) {
  *phLock = nullptr;
  // The run that held the file removes it before it lets go: a lock taken on
  // a file that is no longer under the name holds nobody back, so it is
  // taken again on the file the name now reaches.
  for (int iTry = 0; iTry < 8; ++iTry) {
    int iFd = open(szName, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (iFd < 0) return kLockFailed;
    if (flock(iFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
      close(iFd);
      return kLockHeld;
    }
    // As for the capture, a file system without locks is no reason to refuse.
    struct stat oHeld;
    struct stat oNamed;
    if (fstat(iFd, &oHeld) == 0 && stat(szName, &oNamed) == 0 && SameNode(oHeld, oNamed)) {
      FileRec *pLock = new (std::nothrow) FileRec{iFd, std::string(szName)};
      if (pLock == nullptr) {
        close(iFd);
        errno = ENOMEM;
        return kLockFailed;
      }
      *phLock = pLock;
      return kLockTaken;
    }
    close(iFd);
  }
  return kLockHeld;  // removed and made again as fast as it is opened: in use
}

void DropLockFile(FileHandle hLock) {
  if (hLock == nullptr) return;
  // Removed while still held, so that no other run takes the old file for
  // the lock once it is let go.
  unlink(hLock->sLockName.c_str());
  close(hLock->iFd);
  delete hLock;
}

bool ReplaceFileWith(const char *szNew, const char *szName) {
  // The new file's bytes reach the disk before its name does: a rename that
  // outlives the data would leave an empty file after a power cut.
  int iFd = open(szNew, O_RDONLY | O_CLOEXEC);
  if (iFd < 0) return false;
  bool bSynced = fsync(iFd) == 0;
  close(iFd);
  return bSynced && rename(szNew, szName) == 0;
}

void CloseCaptureFile(FileHandle hFile) {
  if (hFile == nullptr) return;
  close(hFile->iFd);
  delete hFile;
}

bool WriteCaptureFile(FileHandle hFile, const void *pBytes, uint32_t iCount, uint32_t *pWritten) {
  *pWritten = 0;
  if (hFile == nullptr) return false;
  const char *p = static_cast<const char *>(pBytes);
  while (*pWritten < iCount) {
    ssize_t iDone = write(hFile->iFd, p + *pWritten, iCount - *pWritten);
    if (iDone > 0) {
      *pWritten += static_cast<uint32_t>(iDone);
    } else if (iDone < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // a full disk writes nothing and says so
    }
  }
  return true;
}

bool WriteCaptureFileAt(FileHandle hFile, uint64_t iOffset, const void *pBytes, uint32_t iCount) {
  if (hFile == nullptr) return false;
  const char *p = static_cast<const char *>(pBytes);
  uint32_t iDone = 0;
  while (iDone < iCount) {
    ssize_t n = pwrite(hFile->iFd, p + iDone, iCount - iDone, static_cast<off_t>(iOffset + iDone));
    if (n > 0) {
      iDone += static_cast<uint32_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  return true;
}
