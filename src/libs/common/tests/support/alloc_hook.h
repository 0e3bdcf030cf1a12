#pragma once

// The global allocation functions of a test program, replaced as a whole family (plain,
// nothrow, array, sized, aligned) so that whatever the test framework allocates stays paired.
// They count allocations and can be told to fail one.

namespace AllocHook {

// Allocations made through operator new in this process so far.
long count();
// The nth allocation from now on (1 = the next) throws std::bad_alloc (nothrow forms return
// null); 0 turns failing off. Only that one fails.
void failAt(long nth);
// Whether the failure asked for has happened.
bool failed();

}  // namespace AllocHook
