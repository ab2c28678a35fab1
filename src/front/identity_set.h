// A table of file identities, each with the index of the source it belongs
// to: the sources of a run, and the outputs the run has written.
#ifndef QUILLFEN_FRONT_IDENTITY_SET_H_
#define QUILLFEN_FRONT_IDENTITY_SET_H_

#include "platform/platform.h"

// Room for two outputs of every source of a run, at most half full.
const int IDENTITY_SLOTS = 8192;

struct IdentitySlot {
  FileIdentity identity;
  int source;  // -1 for an empty slot
};

struct IdentitySet {
  IdentitySlot slots[IDENTITY_SLOTS];
  int count;
};

void identity_set_clear(IdentitySet* set);

// Files `identity` under `source`, replacing what it was filed under; false
// when the table is full.
bool identity_set_put(IdentitySet* set, const FileIdentity& identity, int source);

// The source that `identity` is filed under, or -1.
int identity_set_find(const IdentitySet* set, const FileIdentity& identity);

#endif  // QUILLFEN_FRONT_IDENTITY_SET_H_
