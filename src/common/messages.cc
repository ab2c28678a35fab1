#include "common/messages.h"

#include <cstring>

#include "platform/platform.h"

namespace {

bool quiet_mode = false;
bool on_terminal = false;
bool terminal_c1 = false;
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
      shown_on_terminal(va_arg(*arguments, const char*), shown, sizeof shown, terminal_c1);
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

void messages_set_terminal(bool terminal, bool c1_controls) {
  on_terminal = terminal;
  terminal_c1 = c1_controls;
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

namespace {

// The length of the well-formed UTF-8 sequence at `p`, or 0.
size_t utf8_length(const unsigned char* p) {
  unsigned char lead = p[0];
  size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                  : lead >= 0xE0 && lead <= 0xEF ? 3
                  : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                 : 0;
  for (size_t i = 1; i < length; i++) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
  }
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && p[1] < 0xA0) || (lead == 0xED && p[1] > 0x9F) ||
      (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F))
    return 0;
  return length;
}

}  // namespace

void shown_on_terminal(const char* text, char* out, size_t capacity, bool c1_controls) {
  if (capacity == 0)
    return;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (*p != '\0' && i + 1 < capacity) {
    unsigned char c = *p;
    size_t length = c >= 0x80 && c1_controls ? utf8_length(p) : 1;
    if (length == 0) {
      // A byte of no sequence: a C1 control is shown as '?', the rest
      // (Latin-1 letters, say) as they are.
      out[i++] = c <= 0x9F ? '?' : static_cast<char>(c);
      p++;
    } else if (c < 0x20 || c == 0x7F || (length == 2 && c == 0xC2 && p[1] <= 0x9F)) {
      out[i++] = '?';
      p += length;
    } else if (i + length < capacity) {
      memcpy(out + i, p, length);
      i += length;
      p += length;
    } else {
      break;
    }
  }
  out[i] = '\0';
}

void print_reason(int reason) {
  if (reason == REASON_NONE)
    return;
  char text[256];
  reason_text(reason, text, sizeof text);
  say("  %s\n", text);
}
