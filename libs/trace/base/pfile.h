// CPFile: a reference-counted file on a POSIX descriptor (interface IFile).
//
// Open flags: OPEN_CREATE creates or truncates; the mode of a newly created file is 0666 with
// OPEN_MODE_RW, else 0444 with OPEN_MODE_RO, else 0 (all subject to the umask). Without
// OPEN_CREATE an existing file is opened read-write as it is (created with mode 0 if absent).
// Writes and reads loop until done; a failed write prints errno ("%d") to standard output.
//
// Ownership: created with one reference; Release() deletes at 0. The destructor closes an open
// descriptor without flushing.
// Thread-safety: Add_Ref/Release are atomic; every other operation needs external serialisation.
#ifndef TRACE_BASE_PFILE_H_
#define TRACE_BASE_PFILE_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>

class IFile {
 public:
  static constexpr uint32_t OPEN_CREATE = 0x2;
  static constexpr uint32_t OPEN_MODE_RW = 0x4;
  static constexpr uint32_t OPEN_MODE_RO = 0x8;

  virtual bool IsOpened() = 0;
  virtual bool Open(const char* path, uint32_t flags) = 0;
  // With `flush`, fsync first; a failed fsync returns false and leaves the file open.
  virtual bool Close(bool flush) = 0;
  // Seeks from the start; true when the resulting offset is `position`.
  virtual bool Set_Position(uint64_t position) = 0;
  virtual uint64_t Get_Position() = 0;
  virtual uint64_t Get_Size() = 0;
  // Bytes written; with `flush`, fsync when something was written.
  virtual size_t Write(const void* data, size_t size, bool flush) = 0;
  virtual size_t Read(void* buffer, size_t size) = 0;
  virtual int32_t Add_Ref() = 0;
  virtual int32_t Release() = 0;
  virtual ~IFile() = default;
};

class CPFile : public IFile {
 public:
  CPFile() = default;
  ~CPFile() override;

  CPFile(const CPFile&) = delete;
  CPFile& operator=(const CPFile&) = delete;

  bool IsOpened() override { return m_Handle != -1; }
  bool Open(const char* path, uint32_t flags) override;
  bool Close(bool flush) override;
  bool Set_Position(uint64_t position) override;
  uint64_t Get_Position() override;
  uint64_t Get_Size() override;
  size_t Write(const void* data, size_t size, bool flush) override;
  size_t Read(void* buffer, size_t size) override;
  int32_t Add_Ref() override;
  int32_t Release() override;

  // The descriptor, or -1 when closed.
  int Get_Handle() const { return m_Handle; }

 private:
  std::atomic<int32_t> m_RefCount{1};
  int m_Handle = -1;
};

#endif  // TRACE_BASE_PFILE_H_
