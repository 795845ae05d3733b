#include "platform/textline.h"

#include <cstdint>
#include <cstring>

qor_line_result qor_read_line(FILE* file, char* buf, size_t cap, size_t* len) {
  size_t n = 0;
  bool malformed = false;
  bool any = false;
  int c;
  while ((c = getc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\0') malformed = true;
    if (n + 1 < cap) {
      buf[n++] = static_cast<char>(c);
    } else {
      malformed = true;  // keep consuming up to the line end so the next line starts cleanly
    }
  }
  if (ferror(file)) return QOR_LINE_ERROR;
  if (!any) return QOR_LINE_EOF;
  if (malformed) return QOR_LINE_MALFORMED;
  if (n > 0 && buf[n - 1] == '\r') --n;  // files carried over from Windows end lines with CRLF
  buf[n] = '\0';
  *len = n;
  return QOR_LINE_OK;
}

namespace {
char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool qor_ascii_iequal_n(const char* a, size_t alen, const char* b, size_t blen) {
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool qor_ascii_iequal(const char* a, const char* b) {
  return qor_ascii_iequal_n(a, std::strlen(a), b, std::strlen(b));
}

bool qor_utf8_valid(const char* s, size_t len) {
  const auto* p = reinterpret_cast<const uint8_t*>(s);
  size_t i = 0;
  while (i < len) {
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (len - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}
