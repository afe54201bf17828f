// Fault injection, for tests of the interface's promise that nothing throws
// through it: while switched on, every entry into a world's or scripted
// mode's state throws, as running out of memory there would.
#pragma once

namespace tvx::sandbox::fault {

void set(bool on);
// Throws std::bad_alloc while switched on.
void point();

}  // namespace tvx::sandbox::fault
