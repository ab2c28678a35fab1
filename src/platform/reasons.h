// Why a call of the platform layer failed, as every part of the tool tells
// it: the system's reason (errno on POSIX, GetLastError() on Windows) or one
// of the tool's own.  The part of the layer that the conversion uses.
#ifndef QUILLFEN_PLATFORM_REASONS_H_
#define QUILLFEN_PLATFORM_REASONS_H_

#include <cstddef>

// Reasons of the tool's own, beside the system's.
const int REASON_NONE = 0;
const int REASON_NOT_REGULAR = -2;  // a source that is no regular file
const int REASON_TOO_LONG = -3;     // a path longer than the tool holds
const int REASON_NO_MEMORY = -4;

// A reason in words (no final full stop), whether it means that there is no
// such file or directory, and the reason of the last failed stream call.
void reason_text(int reason, char* out, size_t capacity);
bool reason_is_missing(int reason);
int stream_reason();

#endif  // QUILLFEN_PLATFORM_REASONS_H_
