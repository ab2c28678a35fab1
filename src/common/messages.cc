#include "common/messages.h"

#include <cstring>

namespace {

bool quiet_mode = false;
bool on_terminal = false;
FILE* error_stream = stdout;
bool error_on_terminal = false;
FILE* last_stream = stdout;  // where the last message sent to stdout went
int warnings = 0;

bool begins_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Where a message for standard output goes: an error or warning to the error
// stream, a line that goes on from the one before to where that went.
FILE* stream_for(const char* format) {
  if (begins_with(format, "Warning: "))
    warnings++;
  if (begins_with(format, "Error: ") || begins_with(format, "Warning: ") ||
      begins_with(format, "Fatal "))
    last_stream = error_stream;
  else if (!begins_with(format, "  "))
    last_stream = stdout;
  return last_stream;
}

// A message being put together, cut at MESSAGE_CAPACITY - 1 bytes.
struct Message {
  char text[MESSAGE_CAPACITY];
  size_t used;
};

void append(Message* message, const char* text, size_t length) {
  size_t room = sizeof message->text - 1 - message->used;
  if (length > room)
    length = room;
  memcpy(message->text + message->used, text, length);
  message->used += length;
  message->text[message->used] = '\0';
}

// Formats one value with its conversion, `spec` ("%-5li" and the like).
template <typename Value>
void append_value(Message* message, const char* spec, Value value) {
  size_t room = sizeof message->text - message->used;
  int written = snprintf(message->text + message->used, room, spec, value);
  if (written < 0)
    return;
  message->used += static_cast<size_t>(written) < room ? static_cast<size_t>(written) : room - 1;
}

// Reads the conversion that starts at `format` (its '%'), formats its value
// into the message and returns where the format goes on.
const char* convert(Message* message, const char* format, va_list* arguments) {
  const char* p = format + 1;
  p += strspn(p, "-+ #0");
  p += strspn(p, "0123456789");
  if (*p == '.') {
    p++;
    p += strspn(p, "0123456789");
  }
  bool is_long = *p == 'l';
  if (is_long)
    p++;
  char letter = *p;
  if (letter != '\0')
    p++;
  char spec[32];
  size_t length = static_cast<size_t>(p - format);
  if (length >= sizeof spec) {
    append(message, format, length);
    return p;
  }
  memcpy(spec, format, length);
  spec[length] = '\0';
  switch (letter) {
    case 'd':
    case 'i':
      if (is_long)
        append_value(message, spec, va_arg(*arguments, long));
      else
        append_value(message, spec, va_arg(*arguments, int));
      break;
    case 'u':
    case 'x':
      if (is_long)
        append_value(message, spec, va_arg(*arguments, unsigned long));
      else
        append_value(message, spec, va_arg(*arguments, unsigned));
      break;
    case 'c':
      append_value(message, spec, va_arg(*arguments, int));
      break;
    case 's': {
      // Only a message bound for a terminal is put together here.
      static char shown[MESSAGE_CAPACITY];
      shown_on_terminal(va_arg(*arguments, const char*), shown, sizeof shown);
      append_value(message, spec, static_cast<const char*>(shown));
      break;
    }
    case '%':
      append(message, "%", 1);
      break;
    default:
      append(message, format, length);
  }
  return p;
}

}  // namespace

void messages_set_quiet(bool quiet) {
  quiet_mode = quiet;
}

void messages_set_terminal(bool terminal) {
  on_terminal = terminal;
}

void messages_set_error_stream(FILE* stream, bool terminal) {
  error_stream = stream;
  error_on_terminal = terminal;
}

int messages_warning_count() {
  return warnings;
}

void say_list(FILE* out, const char* format, va_list arguments) {
  if (quiet_mode && format[0] == PROGRESS_MARK)
    return;
  if (out == stdout)
    out = stream_for(format);
  // What went before it on standard output comes first where both streams
  // land in one place.
  if (out != stdout)
    fflush(stdout);
  bool terminal = out == stdout ? on_terminal : out == error_stream && error_on_terminal;
  // Redirected output keeps every byte: the runtime formats it as it is.
  if (!terminal) {
    vfprintf(out, format, arguments);
    return;
  }
  static Message message;
  message.used = 0;
  message.text[0] = '\0';
  va_list rest;
  va_copy(rest, arguments);
  const char* p = format;
  while (*p != '\0') {
    size_t plain = strcspn(p, "%");
    append(&message, p, plain);
    p += plain;
    if (*p == '%')
      p = convert(&message, p, &rest);
  }
  va_end(rest);
  fwrite(message.text, 1, message.used, out);
}

void say(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  say_list(stdout, format, arguments);
  va_end(arguments);
}

void say_to(FILE* out, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  say_list(out, format, arguments);
  va_end(arguments);
}

void shown_on_terminal(const char* text, char* out, size_t capacity) {
  if (capacity == 0)
    return;
  size_t i = 0;
  for (; text[i] != '\0' && i + 1 < capacity; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out[i] = (c < 0x20 || c == 0x7F) ? '?' : text[i];
  }
  out[i] = '\0';
}
