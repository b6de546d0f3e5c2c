#include "trace/base/pfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

CPFile::~CPFile() {
  if (m_Handle != -1) close(m_Handle);
}

bool CPFile::Open(const char* path, uint32_t flags) {
  if (m_Handle != -1) Close(true);
  if (!path) return false;
  int open_flags = O_RDWR | O_CREAT | O_CLOEXEC;
  mode_t mode = 0;
  if (flags & OPEN_CREATE) {
    open_flags |= O_TRUNC;
    if (flags & OPEN_MODE_RW) {
      mode = 0666;
    } else if (flags & OPEN_MODE_RO) {
      mode = 0444;
    }
  }
  int handle;
  do {
    handle = open(path, open_flags, mode);
  } while (handle == -1 && errno == EINTR);
  m_Handle = handle;
  return m_Handle != -1;
}

bool CPFile::Close(bool flush) {
  if (m_Handle == -1) return true;
  if (flush && fsync(m_Handle) != 0) return false;
  int handle = m_Handle;
  m_Handle = -1;
  // The descriptor is released by close() even when it reports an error; never retry it.
  return close(handle) == 0;
}

bool CPFile::Set_Position(uint64_t position) {
  if (m_Handle == -1) return false;
  off_t result = lseek(m_Handle, static_cast<off_t>(position), SEEK_SET);
  return result != static_cast<off_t>(-1) && static_cast<uint64_t>(result) == position;
}

uint64_t CPFile::Get_Position() {
  if (m_Handle == -1) return 0;
  off_t result = lseek(m_Handle, 0, SEEK_CUR);
  return result < 0 ? 0 : static_cast<uint64_t>(result);
}

uint64_t CPFile::Get_Size() {
  if (m_Handle == -1) return 0;
  off_t current = lseek(m_Handle, 0, SEEK_CUR);
  if (current < 0) return 0;
  off_t end = lseek(m_Handle, 0, SEEK_END);
  lseek(m_Handle, current, SEEK_SET);
  return end < 0 ? 0 : static_cast<uint64_t>(end);
}

size_t CPFile::Write(const void* data, size_t size, bool flush) {
  if (m_Handle == -1 || !data || size == 0) return 0;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  size_t written = 0;
  while (written < size) {
    ssize_t result = write(m_Handle, bytes + written, size - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) {
      printf("%d", errno);
      break;
    }
    written += static_cast<size_t>(result);
  }
  if (flush) {
    if (!written) return 0;
    fsync(m_Handle);
  }
  return written;
}

size_t CPFile::Read(void* buffer, size_t size) {
  if (m_Handle == -1 || !buffer || size == 0) return 0;
  uint8_t* bytes = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t result = read(m_Handle, bytes + done, size - done);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    done += static_cast<size_t>(result);
  }
  return done;
}

int32_t CPFile::Add_Ref() { return m_RefCount.fetch_add(1) + 1; }

int32_t CPFile::Release() {
  int32_t count = m_RefCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}
