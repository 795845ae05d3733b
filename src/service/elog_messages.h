// The message table of the event source "Varnelith Name Service": every event
// identifier with its English and Japanese text. The texts keep their "%1".."%3"
// insertion points and their CRLF line end; elog fills them in.
#pragma once

#include <cstddef>
#include <cstdint>

// Languages of the table, numbered as the platform's language identifiers.
constexpr int QOR_LANG_ENGLISH = 1033;
constexpr int QOR_LANG_JAPANESE = 1041;

struct elog_message {
  uint32_t eid;
  const char* english;   // UTF-8 (plain ASCII)
  const char* japanese;  // UTF-8
};

extern const elog_message qor_elog_messages[];
extern const size_t qor_elog_message_count;

// The text of `eid` in `lang` (any value other than QOR_LANG_JAPANESE gives
// English), or null when the table holds no such identifier. Static storage.
const char* qor_elog_message(uint32_t eid, int lang);
