#include "xcommon/xsharedmem.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

#include "xcommon/xutils/text.h"

XSharedMem::XSharedMem(const char* name, unsigned long size) {
  // shm_open reads the name unchecked; a null one would crash it.
  if (name == nullptr) {
    m_error = XUtils::strerror(EINVAL, "shm_open");
    return;
  }
  // Owner only: the creator's children inherit the mapping, and nobody else is meant to open
  // the segment in the moment before the name is gone.
  m_descriptor = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
  if (m_descriptor == -1) {
    m_error = XUtils::strerror(errno, "shm_open");
    return;
  }
  shm_unlink(name);  // the descriptor keeps the segment; a failure changes nothing for us
  // A size above the largest off_t turns negative here and ftruncate refuses it.
  if (ftruncate(m_descriptor, static_cast<off_t>(size)) == -1) {
    m_error = XUtils::strerror(errno, "ftruncate");
    return;
  }
  // tmpfs reserves nothing at ftruncate: without the space, the first touch of a page would
  // raise SIGBUS. A size of 0 is left for mmap to refuse.
  if (size != 0) {
    const int err = posix_fallocate(m_descriptor, 0, static_cast<off_t>(size));
    if (err != 0) {
      m_error = XUtils::strerror(err, "posix_fallocate");
      return;
    }
  }
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_descriptor, 0);
  if (address == MAP_FAILED) {
    m_error = XUtils::strerror(errno, "mmap");
    return;
  }
  m_address = address;
  m_size = size;
  m_valid = true;
}

XSharedMem::~XSharedMem() {
  if (m_address != nullptr) {
    munmap(m_address, m_size);
    m_address = nullptr;
  }
  if (m_descriptor != -1) close(m_descriptor);
}
