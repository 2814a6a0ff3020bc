#pragma once
// Who is on the other end of a pipe: the rule that ties a process id to a connection.
// Portable: no Windows headers, so it can be tested on given times.
#include <cstdint>

namespace guardian {

// Times are 100-ns intervals since 1601-01-01 UTC (FILETIME), from the same system clock.
//
// A process id names the process that opened (or served) the pipe only until that process
// ends; afterwards the id may be given to a new process. A process created after the
// connection was made cannot be the one that made it, so its image says nothing about the
// peer. A creation time of 0 means it could not be read: no match either.
inline bool process_predates_connection(uint64_t process_created, uint64_t connected_at) {
  return process_created != 0 && process_created <= connected_at;
}

}  // namespace guardian
