#pragma once

// Locks that fork() takes before it copies the process and lets go of in both processes after,
// so that no thread of ours is inside what they guard at the fork: the child would otherwise
// inherit a lock held by a thread it does not have, and hang on it. Private to the library.

#include <mutex>

namespace XInternal {

// Taken at every fork in the order they were added; a mutex is removed before it dies.
void guardFork(std::mutex& mutex);
void unguardFork(std::mutex& mutex);

// Held around the C library's calls that take a process-wide lock of the C library's own
// (localtime_r, timegm and gmtime_r take the time-zone lock, rand its state's lock), so that
// none of our threads is inside one at a fork.
std::mutex& libcMutex();

}  // namespace XInternal
