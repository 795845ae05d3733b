#include "platform/textline.h"

#include <cstdint>
#include <cstring>

FILE* qor_open_text(const char* path) {
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return nullptr;
  unsigned char head[3];
  if (std::fread(head, 1, sizeof head, file) != sizeof head ||
      std::memcmp(head, "\xEF\xBB\xBF", sizeof head) != 0) {
    std::rewind(file);
  }
  return file;
}

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

size_t qor_split_fields(char* line, char** fields, size_t max) {
  size_t n = 0;
  char* p = line;
  for (;;) {
    while (qor_is_blank(*p)) ++p;
    if (*p == '\0') return n;
    if (n == max) return max + 1;  // too many
    fields[n++] = p;
    while (*p != '\0' && !qor_is_blank(*p)) ++p;
    if (*p == '\0') return n;
    *p++ = '\0';
  }
}

bool qor_ascii_iequal_n(const char* a, size_t alen, const char* b, size_t blen) {
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; ++i) {
    if (qor_ascii_fold(static_cast<unsigned char>(a[i])) !=
        qor_ascii_fold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool qor_ascii_iequal(const char* a, const char* b) {
  return qor_ascii_iequal_n(a, std::strlen(a), b, std::strlen(b));
}

size_t qor_utf8_seq(const char* s, size_t left) {
  const auto* p = reinterpret_cast<const uint8_t*>(s);
  uint8_t c = p[0];
  if (c < 0x80) return 1;
  size_t need;
  uint32_t cp;
  uint32_t min;
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
    cp = c & 0x1F;
    min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    cp = c & 0x0F;
    min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    cp = c & 0x07;
    min = 0x10000;
  } else {
    return 0;  // continuation byte first, 0xC0/0xC1 overlong lead, or 0xF5..0xFF
  }
  if (left < need) return 0;
  for (size_t k = 1; k < need; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return need;
}

bool qor_utf8_valid(const char* s, size_t len) {
  const auto* p = reinterpret_cast<const uint8_t*>(s);
  size_t i = 0;
  while (i < len) {
    // Names are mostly ASCII: skip it in a tight loop.
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    size_t n = qor_utf8_seq(s + i, len - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}
