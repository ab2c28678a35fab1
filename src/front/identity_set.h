// A table of file identities, each with the index of the source it belongs
// to: the sources of a run, and the outputs the run has written.
#ifndef QUILLFEN_FRONT_IDENTITY_SET_H_
#define QUILLFEN_FRONT_IDENTITY_SET_H_

#include <cstddef>

#include "platform/platform.h"

struct IdentitySlot {
  FileIdentity identity;
  int source;  // -1 for an empty slot
};

// An open-addressed table, at most half full; it doubles as it fills.  A
// table of all zeros is empty.
struct IdentitySet {
  IdentitySlot* slots;
  size_t capacity;  // a power of two, or 0 before the first identity
  size_t count;
};

// Empties the table; its memory stays for the next identities.
void identity_set_clear(IdentitySet* set);

// Files `identity` under `source`, replacing what it was filed under; false
// when memory for it runs out.
bool identity_set_put(IdentitySet* set, const FileIdentity& identity, int source);

// The source that `identity` is filed under, or -1.
int identity_set_find(const IdentitySet* set, const FileIdentity& identity);

#endif  // QUILLFEN_FRONT_IDENTITY_SET_H_
