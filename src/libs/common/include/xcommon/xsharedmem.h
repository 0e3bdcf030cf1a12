#pragma once

/// @file
/// XSharedMem, an anonymous POSIX shared-memory segment for a process and its forked children.

#include <string>

#include "xcommon/xcommon_export.h"

/// An anonymous POSIX shared-memory segment, mapped read-write and shared with the processes
/// that this one forks after creating it.
///
/// The name is unlinked as soon as the segment is created (with mode 0600), so every
/// construction makes a new segment, the name is free again at once, and only children forked
/// later (not programs they exec: the descriptor is close-on-exec) reach it. The memory is
/// reserved before it is mapped, so a full /dev/shm makes an invalid segment, never a SIGBUS at
/// the first write. Never throws: a failure leaves an invalid segment and the text of the
/// failed call.
class XCOMMON_EXPORT XSharedMem {
 public:
  /// Creates and maps a segment of `size` bytes. `name` as shm_open wants it: a leading slash
  /// and no other. Fails while another segment of that name exists (O_EXCL), and for size 0
  /// (mmap refuses it).
  XSharedMem(const char* name, unsigned long size);
  /// Unmaps and closes; the system frees the segment when its last user lets go.
  ~XSharedMem();

  /// Not copyable: the object owns the mapping and the descriptor.
  XSharedMem(const XSharedMem&) = delete;
  /// Not copyable: the object owns the mapping and the descriptor.
  XSharedMem& operator=(const XSharedMem&) = delete;

  /// True when the segment was created and mapped.
  [[nodiscard]] bool is_valid() const { return m_valid; }
  /// "shm_open : ...", "ftruncate : ...", "posix_fallocate : ..." or "mmap : ..."; empty when
  /// valid.
  const std::string& error() const { return m_error; }
  /// Start of the mapping; null unless valid.
  void* address() const { return m_address; }
  /// Size of the mapping in bytes; 0 unless valid.
  unsigned long size() const { return m_size; }
  /// The segment's descriptor, owned by this object; -1 when shm_open failed.
  int descriptor() const { return m_descriptor; }

 private:
  bool m_valid = false;
  int m_descriptor = -1;
  unsigned long m_size = 0;
  void* m_address = nullptr;
  std::string m_error;
};
