#include "service/elog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

// The journal's CODE_FILE/CODE_LINE would name this file, not the reporter.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include "platform/textline.h"
#include "registry/status.h"
#include "service/elog_messages.h"

// Memory here comes from plain malloc, not qor_malloc: a test that makes the
// N-th registry allocation fail must not see that failure eaten by the report
// of an earlier step.

namespace {

constexpr int SINK_NONE = 0;  // NS__LogInit not called yet
constexpr int SINK_JOURNAL = 1;
constexpr int SINK_SYSLOG = 2;

constexpr const char JOURNAL_SOCKET[] = "/run/systemd/journal/socket";
constexpr const char CAPTURE_PREFIX[] = "file:";

// Stands for the event-source handle: set once, never taken back.
std::atomic<int> elogha{SINK_NONE};
std::mutex init_lock;
std::atomic<bool> console{false};

// A text being built: bytes beyond `size` are counted but not stored, so a
// first pass into a stack buffer tells how large a second one must be.
struct outbuf {
  char* p;
  size_t size;
  size_t n;
};

void put(outbuf* o, const char* s, size_t len) {
  if (o->n < o->size) {
    size_t room = o->size - o->n;
    std::memcpy(o->p + o->n, s, len < room ? len : room);
  }
  o->n += len;
}

void put_str(outbuf* o, const char* s) { put(o, s, std::strlen(s)); }

void put_ch(outbuf* o, char c) { put(o, &c, 1); }

// A JSON string: quotes, backslashes and control characters escaped; a byte
// that is not part of valid UTF-8 becomes \u00XX so the line stays valid JSON.
void put_json(outbuf* o, const char* s) {
  static const char hex[] = "0123456789abcdef";
  const unsigned char* u = reinterpret_cast<const unsigned char*>(s);
  size_t left = std::strlen(s);
  put_ch(o, '"');
  while (left > 0) {
    unsigned char c = *u;
    size_t seq = qor_utf8_seq(reinterpret_cast<const char*>(u), left);
    if (c == '"' || c == '\\') {
      put_ch(o, '\\');
      put_ch(o, static_cast<char>(c));
    } else if (c == '\n') {
      put_str(o, "\\n");
    } else if (c == '\r') {
      put_str(o, "\\r");
    } else if (c == '\t') {
      put_str(o, "\\t");
    } else if (c < 0x20 || seq == 0) {
      char esc[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
      put(o, esc, sizeof esc);
      seq = 1;
    } else {
      put(o, reinterpret_cast<const char*>(u), seq);
    }
    if (seq == 0) seq = 1;
    u += seq;
    left -= seq;
  }
  put_ch(o, '"');
}

const char* insertion(uint16_t len, const char* const* arg, unsigned i) {
  if (arg == nullptr || i >= len) return nullptr;
  return arg[i] != nullptr ? arg[i] : "";
}

void put_text(outbuf* o, uint32_t eid, int lang, uint16_t len, const char* const* arg) {
  const char* t = qor_elog_message(eid, lang);
  if (t == nullptr) {
    char head[32];
    std::snprintf(head, sizeof head, "event 0x%08X:", eid);
    put_str(o, head);
    for (unsigned i = 0; i < len; i++) {
      put_ch(o, ' ');
      put_str(o, insertion(len, arg, i));
    }
    return;
  }
  for (; *t != '\0'; t++) {
    if (*t == '\r' || *t == '\n') continue;
    if (t[0] == '%' && t[1] >= '1' && t[1] <= '9') {
      const char* s = insertion(len, arg, static_cast<unsigned>(t[1] - '1'));
      if (s != nullptr) {
        put_str(o, s);
        t++;
        continue;
      }
    }
    put_ch(o, *t);
  }
}

// Builds a NUL-terminated text with `build`, in `stack` when it fits, else in
// a malloc block. Null when memory is exhausted; free it with release_text.
template <typename Build>
char* build_text(Build build, char* stack, size_t stack_size, size_t* out_len) {
  outbuf o{stack, stack_size, 0};
  build(&o);
  if (o.n < stack_size) {
    stack[o.n] = '\0';
  } else {
    char* heap = static_cast<char*>(std::malloc(o.n + 1));
    if (heap == nullptr) return nullptr;
    o = outbuf{heap, o.n + 1, 0};
    build(&o);
    heap[o.n] = '\0';
    stack = heap;
  }
  *out_len = o.n;
  return stack;
}

void release_text(char* text, const char* stack) {
  if (text != stack) std::free(text);
}

// The whole buffer in as few write(2) calls as the kernel allows; one for a
// regular file, which with O_APPEND keeps lines of concurrent reports apart.
bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

const char* type_name(uint16_t type) {
  switch (type) {
    case NS_EVENT_ERROR:
      return "error";
    case NS_EVENT_WARNING:
      return "warning";
    case NS_EVENT_INFORMATION:
      return "information";
    default:
      return "event";
  }
}

int syslog_priority(uint16_t type) {
  switch (type) {
    case NS_EVENT_ERROR:
      return LOG_ERR;
    case NS_EVENT_WARNING:
      return LOG_WARNING;
    case NS_EVENT_INFORMATION:
      return LOG_INFO;
    default:
      return LOG_NOTICE;
  }
}

// The capture file named by QOR_EVENTLOG: null when the variable is unset or
// empty (`QOR_EVENTLOG=` is how a shell line clears it), `*bad` when it is set
// but not of the form file:PATH.
const char* capture_path(bool* bad) {
  *bad = false;
  const char* v = std::getenv("QOR_EVENTLOG");
  if (v == nullptr || *v == '\0') return nullptr;
  size_t plen = sizeof CAPTURE_PREFIX - 1;
  if (std::strncmp(v, CAPTURE_PREFIX, plen) != 0 || v[plen] == '\0') {
    *bad = true;
    return nullptr;
  }
  return v + plen;
}

bool write_capture(const char* path, uint16_t type, uint32_t eid, uint16_t len,
                   const char* const* arg) {
  auto build = [&](outbuf* o) {
    char head[48];
    std::snprintf(head, sizeof head, "{\"id\":\"0x%08X\",\"type\":%u,\"strings\":[", eid,
                  static_cast<unsigned>(type));
    put_str(o, head);
    for (unsigned i = 0; i < len; i++) {
      if (i > 0) put_ch(o, ',');
      put_json(o, insertion(len, arg, i));
    }
    put_str(o, "],\"text\":");
    // The English text, as the capture is read by tests whatever the locale.
    char tstack[512];
    size_t tlen;
    char* text = build_text([&](outbuf* t) { put_text(t, eid, QOR_LANG_ENGLISH, len, arg); },
                            tstack, sizeof tstack, &tlen);
    put_json(o, text != nullptr ? text : "");
    release_text(text, tstack);
    put_str(o, "}\n");
  };
  char stack[1024];
  size_t n;
  char* line = build_text(build, stack, sizeof stack, &n);
  if (line == nullptr) return false;
  bool ok = false;
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd >= 0) {
    ok = write_all(fd, line, n);
    if (::close(fd) != 0) ok = false;
  }
  release_text(line, stack);
  return ok;
}

bool write_journal(uint16_t type, uint32_t eid, uint16_t len, const char* const* arg,
                   const char* text) {
  // MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, QOR_EVENT_ID, QOR_EVENT_TYPE, then one per string.
  size_t nfields = 5 + static_cast<size_t>(len);
  iovec* iov = static_cast<iovec*>(std::calloc(nfields, sizeof(iovec)));
  if (iov == nullptr) return false;
  char prio[16], ident[] = "SYSLOG_IDENTIFIER=qor", id[32], typ[32];
  std::snprintf(prio, sizeof prio, "PRIORITY=%d", syslog_priority(type));
  std::snprintf(id, sizeof id, "QOR_EVENT_ID=0x%08X", eid);
  std::snprintf(typ, sizeof typ, "QOR_EVENT_TYPE=%u", static_cast<unsigned>(type));
  size_t mlen = std::strlen(text);
  char* msg = static_cast<char*>(std::malloc(mlen + 9));
  if (msg != nullptr) {
    std::memcpy(msg, "MESSAGE=", 8);
    std::memcpy(msg + 8, text, mlen + 1);
  }
  iov[0] = {msg, mlen + 8};
  iov[1] = {prio, std::strlen(prio)};
  iov[2] = {ident, std::strlen(ident)};
  iov[3] = {id, std::strlen(id)};
  iov[4] = {typ, std::strlen(typ)};
  bool ok = msg != nullptr;
  for (unsigned i = 0; ok && i < len; i++) {
    const char* s = insertion(len, arg, i);
    char name[32];
    int nlen = std::snprintf(name, sizeof name, "QOR_STRING%u=", i + 1);
    size_t slen = std::strlen(s);
    char* field = static_cast<char*>(std::malloc(static_cast<size_t>(nlen) + slen + 1));
    if (field == nullptr) {
      ok = false;
      break;
    }
    std::memcpy(field, name, static_cast<size_t>(nlen));
    std::memcpy(field + nlen, s, slen + 1);
    iov[5 + i] = {field, static_cast<size_t>(nlen) + slen};
  }
  if (ok) ok = sd_journal_sendv(iov, static_cast<int>(nfields)) >= 0;
  std::free(msg);
  for (size_t i = 5; i < nfields; i++) std::free(iov[i].iov_base);
  std::free(iov);
  return ok;
}

bool write_console(uint16_t type, uint32_t eid, const char* text) {
  auto build = [&](outbuf* o) {
    char head[64];
    std::snprintf(head, sizeof head, "qor: %s 0x%08X: ", type_name(type), eid);
    put_str(o, head);
    put_str(o, text);
    put_ch(o, '\n');
  };
  char stack[1024];
  size_t n;
  char* line = build_text(build, stack, sizeof stack, &n);
  if (line == nullptr) return false;
  bool ok = write_all(STDERR_FILENO, line, n);
  release_text(line, stack);
  return ok;
}

}  // namespace

int NS__LogInit() {
  std::lock_guard<std::mutex> hold(init_lock);
  if (elogha.load(std::memory_order_acquire) != SINK_NONE) return NS_S_OK;
  bool bad;
  capture_path(&bad);
  if (bad) return NS_S_SYSFAIL;
  // sd_journal_send answers 0 even when no journal listens, so look for its socket.
  struct stat st;
  if (::stat(JOURNAL_SOCKET, &st) == 0 && S_ISSOCK(st.st_mode)) {
    elogha.store(SINK_JOURNAL, std::memory_order_release);
  } else {
    ::openlog("qor", LOG_PID, LOG_DAEMON);
    elogha.store(SINK_SYSLOG, std::memory_order_release);
  }
  return NS_S_OK;
}

void qor_elog_set_console(bool on) { console.store(on, std::memory_order_relaxed); }

int qor_elog_language() {
  static const char* const vars[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* name : vars) {
    const char* v = std::getenv(name);
    if (v != nullptr && v[0] != '\0')
      return std::strncmp(v, "ja", 2) == 0 ? QOR_LANG_JAPANESE : QOR_LANG_ENGLISH;
  }
  return QOR_LANG_ENGLISH;
}

size_t qor_elog_format(uint32_t eid, int lang, uint16_t len, const char* const* arg, char* buf,
                       size_t size) {
  outbuf o{buf, size, 0};
  put_text(&o, eid, lang, len, arg);
  if (size > 0) buf[o.n < size ? o.n : size - 1] = '\0';
  return o.n;
}

int NS__LogWrite(uint16_t type, uint32_t eid, uint16_t len, const char* const* arg) {
  int sink = elogha.load(std::memory_order_acquire);
  if (sink == SINK_NONE) return NS_S_NOTINIT;
  bool bad;
  const char* capture = capture_path(&bad);
  if (bad) return NS_S_SYSFAIL;
  bool to_console = console.load(std::memory_order_relaxed);
  bool ok = true;
  if (capture != nullptr) ok = write_capture(capture, type, eid, len, arg);
  if (capture != nullptr && !to_console) return ok ? NS_S_OK : NS_S_SYSFAIL;

  // The administrator's text, in the locale's language.
  int lang = qor_elog_language();
  char stack[512];
  size_t n;
  char* text =
      build_text([&](outbuf* o) { put_text(o, eid, lang, len, arg); }, stack, sizeof stack, &n);
  if (text == nullptr) return NS_S_SYSFAIL;
  if (capture == nullptr) {
    if (sink == SINK_JOURNAL) {
      if (!write_journal(type, eid, len, arg, text)) ok = false;
    } else {
      ::syslog(syslog_priority(type), "0x%08X: %s", eid, text);
    }
  }
  if (to_console && !write_console(type, eid, text)) ok = false;
  release_text(text, stack);
  return ok ? NS_S_OK : NS_S_SYSFAIL;
}

int NS__Log_UU(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2) {
  // Nine characters each: eight hex digits and the terminator.
  char s1[9], s2[9];
  std::snprintf(s1, sizeof s1, "%x", u1);
  std::snprintf(s2, sizeof s2, "%x", u2);
  const char* arg[] = {s1, s2};
  return NS__LogWrite(type, eid, 2, arg);
}

int NS__Log_SS(uint16_t type, uint32_t eid, const char* str1, const char* str2) {
  const char* arg[] = {str1, str2};
  return NS__LogWrite(type, eid, 2, arg);
}

int NS__Log_S(uint16_t type, uint32_t eid, const char* str1) {
  const char* arg[] = {str1};
  return NS__LogWrite(type, eid, 1, arg);
}

int NS__Log_UUS(uint16_t type, uint32_t eid, uint32_t u1, uint32_t u2, const char* str1) {
  char s1[9], s2[9];
  std::snprintf(s1, sizeof s1, "%x", u1);
  std::snprintf(s2, sizeof s2, "%x", u2);
  const char* arg[] = {s1, s2, str1 != nullptr ? str1 : ""};
  return NS__LogWrite(type, eid, 3, arg);
}
