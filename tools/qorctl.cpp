// qorctl: the command-line client of the Varnelith Name Service, for people
// and scripts. One command a run: it binds to a qor service, makes the calls
// of ns_qor_if the command needs, and prints the answer as text or as one
// JSON object (doc/man/qorctl.1 describes every command and the output).
//
// Exit codes: 0 success; 1 the service answered a status other than 0;
// 2 a bad command line; 3 the call did not complete (an RPC status), or its
// answer could not be written.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "federation/qor_c.h"
#include "federation/qor_ndr.h"
#include "federation/user_mem.h"
#include "platform/rpc/rpc.h"
#include "platform/textline.h"
#include "registry/objutil.h"
#include "registry/status.h"
#include "service/qorutil.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_STATUS = 1;  // the service answered a non-zero status
constexpr int EXIT_USAGE = 2;   // bad command line; nothing was sent
constexpr int EXIT_RPC = 3;     // the call did not complete

// ---- Statuses and their meanings ----

struct status_text {
  long status;
  const char* text;
};

constexpr status_text QOR_STATUS_TEXTS[] = {
    {NS_S_OK, "success"},
    {NS_S_TRUNCATED, "a recovery file ends after an entry's name line"},
    {NS_S_NOCLASS, "not a class that can serve the request"},
    {NS_S_NODOMAIN, "the other domain cannot be reached through the name service"},
    {NS_S_NOTLOCKED, "the registry lock was given back while not held"},
    {NS_S_NOID, "no object identity, or an identity without a name"},
    {NS_S_NODATA, "required data missing or not storable"},
    {NS_S_EOF, "end of a file or of a list"},
    {NS_S_NOTINIT, "not initialised"},
    {NS_S_NOMEM, "memory exhausted"},
    {NS_S_NOENTRY, "no such entry"},
    {NS_S_EXISTS, "the name exists and may not be overwritten"},
    {NS_S_NOTARGET, "the object exists, but the object its association names does not"},
    {NS_S_FORWARD, "the other domain's service could not be reached, or its call failed"},
    {NS_S_SYSFAIL, "a platform call failed, a file is unreadable or malformed"},
};

constexpr status_text RPC_STATUS_TEXTS[] = {
    {RPC_S_OUT_OF_MEMORY, "out of memory"},
    {RPC_S_INVALID_ARG, "invalid argument"},
    {ERROR_NOT_ENOUGH_SERVER_MEMORY, "not enough server memory"},
    {RPC_S_INVALID_STRING_BINDING, "invalid string binding"},
    {RPC_S_INVALID_BINDING, "invalid binding"},
    {RPC_S_PROTSEQ_NOT_SUPPORTED, "protocol sequence not supported"},
    {RPC_S_INVALID_RPC_PROTSEQ, "invalid protocol sequence"},
    {RPC_S_INVALID_STRING_UUID, "invalid UUID"},
    {RPC_S_INVALID_ENDPOINT_FORMAT, "invalid endpoint"},
    {RPC_S_INVALID_NET_ADDR, "invalid network address"},
    {RPC_S_NO_ENDPOINT_FOUND, "no endpoint found"},
    {RPC_S_UNKNOWN_IF, "unknown interface"},
    {RPC_S_OUT_OF_RESOURCES, "out of resources"},
    {RPC_S_SERVER_UNAVAILABLE, "server unavailable"},
    {RPC_S_SERVER_TOO_BUSY, "server too busy"},
    {RPC_S_CALL_FAILED, "call failed"},
    {RPC_S_CALL_FAILED_DNE, "call failed and did not execute"},
    {RPC_S_PROTOCOL_ERROR, "protocol error"},
    {RPC_S_INVALID_BOUND, "invalid array bound"},
    {RPC_S_PROCNUM_OUT_OF_RANGE, "procedure number out of range"},
    {EPT_S_NOT_REGISTERED, "no endpoint registered for the interface"},
    {RPC_S_INTERNAL_ERROR, "internal error"},
    {RPC_X_NULL_REF_POINTER, "null reference pointer"},
    {RPC_X_ENUM_VALUE_OUT_OF_RANGE, "enumeration value out of range"},
    {RPC_X_BAD_STUB_DATA, "bad stub data"},
    {RPC_S_CALL_CANCELLED, "call timed out"},
    {RPC_S_COMM_FAILURE, "communication failure"},
};

template <size_t N>
const char* lookup_text(const status_text (&table)[N], long status, const char* other) {
  for (const status_text& t : table) {
    if (t.status == status) return t.text;
  }
  return other;
}

// ---- Command line ----

// Which commands an option belongs to, and whether it may be repeated.
constexpr unsigned OPT_GLOBAL = 1;  // every command
constexpr unsigned OPT_OBJECT = 2;  // commands naming an object: create, delete, get, list, host
constexpr unsigned OPT_CREATE = 4;  // create only
constexpr unsigned OPT_DOMAIN = 8;  // commands naming a domain: the object commands, domains, hello

enum option_id {
  O_SERVER,
  O_SRVBIND,
  O_JSON,
  O_HELP,
  O_DOMAIN,
  O_FORCE,
  O_HOST,
  O_BINDING,
  O_AUTH,
  O_ASSOC,
  O_MEMBER,
  O_COUNT
};

struct option_def {
  option_id id;
  char short_name;  // 0: long form only
  const char* long_name;
  bool takes_value;
  bool repeatable;
  unsigned scope;
};

constexpr option_def OPTIONS[] = {
    {O_SERVER, 's', "server", true, false, OPT_GLOBAL},
    {O_SRVBIND, 'b', "server-binding", true, false, OPT_GLOBAL},
    {O_JSON, 0, "json", false, false, OPT_GLOBAL},
    {O_HELP, 'h', "help", false, false, OPT_GLOBAL},
    {O_DOMAIN, 'd', "domain", true, false, OPT_DOMAIN},
    {O_FORCE, 'f', "force", false, false, OPT_CREATE},
    {O_HOST, 0, "host", true, false, OPT_CREATE},
    {O_BINDING, 0, "binding", true, true, OPT_CREATE},
    {O_AUTH, 0, "auth", true, false, OPT_CREATE},
    {O_ASSOC, 0, "assoc", true, false, OPT_CREATE},
    {O_MEMBER, 0, "member", true, true, OPT_CREATE},
};

struct cmdline {
  bool given[O_COUNT];
  const char* value[O_COUNT];  // the last value of a single option
  std::vector<const char*> bindings;
  std::vector<const char*> members;
  std::vector<const char*> args;  // positional, the command first
};

struct request;
struct command;
using run_fn = int (*)(RPC_BINDING_HANDLE ha, const request& rq, FILE* out);

struct command {
  const char* name;
  int min_args, max_args;  // positional arguments after the command
  unsigned scope;          // OPT_* the command takes besides the global ones
  run_fn run;
  const char* synopsis;
  const char* help;
};

// What a command sends, from the command line.
struct request {
  const command* cmd;
  bool json;
  qorobjid obj;  // strings point into argv
  qorobjid assoc;
  int32_t force;
  qor_serverinfo svinfo;
  qorobjects members;
  const char* domain_arg;  // domains, hello: the domain named, or null
  std::string what;        // the command and its arguments, for messages
};

// User text, or text the service hands back, as it may appear on a terminal:
// a control character (a newline, a CR that would overwrite the line, an
// escape sequence) is shown as \xNN. Null is empty.
std::string printable(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p >= 0x20 && *p != 0x7F) {
      out += static_cast<char>(*p);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", *p);
      out += hex;
    }
  }
  return out;
}

// Prints the one line about a bad command line and answers EXIT_USAGE.
__attribute__((format(printf, 1, 2))) int usage_error(const char* fmt, ...) {
  char line[1024];
  std::va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "qorctl: %s (qorctl --help)\n", printable(line).c_str());
  return EXIT_USAGE;
}

const option_def* find_option(const char* arg, const char** inline_value) {
  *inline_value = nullptr;
  if (arg[1] != '-') {
    if (arg[2] != '\0') return nullptr;  // single-letter options are not bundled
    for (const option_def& o : OPTIONS) {
      if (o.short_name != 0 && o.short_name == arg[1]) return &o;
    }
    return nullptr;
  }
  const char* name = arg + 2;
  const char* eq = std::strchr(name, '=');
  size_t len = eq != nullptr ? static_cast<size_t>(eq - name) : std::strlen(name);
  for (const option_def& o : OPTIONS) {
    if (std::strlen(o.long_name) == len && std::strncmp(o.long_name, name, len) == 0) {
      if (eq != nullptr) *inline_value = eq + 1;
      return &o;
    }
  }
  return nullptr;
}

// Splits argv into options and positional arguments. EXIT_OK or EXIT_USAGE.
int parse_cmdline(int argc, char** argv, cmdline* cl) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_end || arg[0] != '-' || arg[1] == '\0') {
      cl->args.push_back(arg);
      continue;
    }
    if (std::strcmp(arg, "--") == 0) {
      options_end = true;
      continue;
    }
    const char* value = nullptr;
    const option_def* o = find_option(arg, &value);
    if (o == nullptr) return usage_error("unknown option %s", arg);
    if (!o->takes_value && value != nullptr) return usage_error("%s takes no value", arg);
    if (o->takes_value && value == nullptr) {
      if (i + 1 >= argc) return usage_error("%s needs a value", arg);
      value = argv[++i];
    }
    if (cl->given[o->id] && !o->repeatable) {
      return usage_error("--%s given twice", o->long_name);
    }
    cl->given[o->id] = true;
    cl->value[o->id] = value;
    if (o->id == O_BINDING) cl->bindings.push_back(value);
    if (o->id == O_MEMBER) cl->members.push_back(value);
  }
  return EXIT_OK;
}

int parse_class(const char* text, int* nsclass) {
  if (NS__StrToClass(text, nsclass) == NS_S_OK) return EXIT_OK;
  return usage_error(
      "'%s' is not a class name (lp, pp, any-prn, spooler, superv, any-svr, "
      "queue, ntfy, group, backup, none)",
      text);
}

// CLASS:NAME[@DOMAIN]; the last '@' starts the domain. The strings are cut
// out of `text`, which stays owned by the command line.
int parse_object_arg(const char* opt, char* text, qorobjid* obj) {
  char* colon = std::strchr(text, ':');
  if (colon == nullptr) return usage_error("--%s %s: expected CLASS:NAME[@DOMAIN]", opt, text);
  *colon = '\0';
  char* name = colon + 1;
  char* at = std::strrchr(name, '@');
  if (at != nullptr) *at = '\0';
  obj->name = name;
  obj->domain = at != nullptr ? at + 1 : nullptr;
  if (at != nullptr && at[1] == '\0') return usage_error("--%s: an empty domain after '@'", opt);
  return parse_class(text, &obj->nsclass);
}

// Decimal, or hexadecimal after 0x; a leading 0 is not octal.
int parse_auth(const char* text, int32_t* auth) {
  char* end = nullptr;
  errno = 0;
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  long v = std::strtol(text, &end, hex ? 16 : 10);
  bool number = std::isdigit(static_cast<unsigned char>(text[text[0] == '-']));
  if (!number || errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) {
    return usage_error("--auth %s: expected a number from -2147483648 to 2147483647", text);
  }
  *auth = static_cast<int32_t>(v);
  return EXIT_OK;
}

// The options of create that only some kinds of class read; the others would
// be dropped by the service without a word, so they are refused here.
int check_create_kind(int nsclass, const cmdline& cl) {
  bool server =
      nsclass == NS_CLASS_SPOOLER || nsclass == NS_CLASS_SUPERV || nsclass == NS_CLASS_NTFY;
  bool assoc = nsclass == NS_CLASS_LP || nsclass == NS_CLASS_PP || nsclass == NS_CLASS_QUEUE;
  bool group = nsclass == NS_CLASS_GROUP || nsclass == NS_CLASS_BACKUP;
  if (!server && !assoc && !group) return EXIT_OK;  // the service answers 5
  const char* cls = NS__ClassToStr(nsclass);
  if (!server && (cl.given[O_HOST] || cl.given[O_BINDING] || cl.given[O_AUTH])) {
    return usage_error("create %s: --host, --binding and --auth are for spooler, superv and ntfy",
                       cls);
  }
  if (!assoc && cl.given[O_ASSOC]) {
    return usage_error("create %s: --assoc is for lp, pp and queue", cls);
  }
  if (!group && cl.given[O_MEMBER]) {
    return usage_error("create %s: --member is for group and backup", cls);
  }
  return EXIT_OK;
}

// ---- Output ----

void json_string(FILE* out, const char* s) {
  if (s == nullptr) {
    std::fputs("null", out);
    return;
  }
  // Text that is not UTF-8 would make the whole object unreadable: its bytes
  // are written as U+FFFD.
  bool utf8 = qor_utf8_valid(s, std::strlen(s));
  std::fputc('"', out);
  for (const auto* p = reinterpret_cast<const unsigned char*>(s); *p != 0; ++p) {
    if (*p == '"' || *p == '\\') {
      std::fprintf(out, "\\%c", *p);
    } else if (*p < 0x20) {
      std::fprintf(out, "\\u%04x", *p);
    } else if (*p >= 0x80 && !utf8) {
      std::fputs("\\ufffd", out);
    } else {
      std::fputc(*p, out);
    }
  }
  std::fputc('"', out);
}

void json_objid(FILE* out, const qorobjid& o) {
  std::fputs("{\"class\":", out);
  json_string(out, NS__ClassToStr(o.nsclass));
  std::fputs(",\"name\":", out);
  json_string(out, o.name);
  std::fputs(",\"domain\":", out);
  json_string(out, o.domain);
  std::fputc('}', out);
}

void json_strings(FILE* out, const char* key, int32_t len, char* const* val) {
  std::fprintf(out, ",\"%s\":[", key);
  for (int32_t i = 0; i < len; ++i) {
    if (i > 0) std::fputc(',', out);
    json_string(out, val[i]);
  }
  std::fputc(']', out);
}

// CLASS:NAME[@DOMAIN], the form --assoc and --member take.
void text_objid(FILE* out, const qorobjid& o) {
  const char* cls = NS__ClassToStr(o.nsclass);
  std::fprintf(out, "%s:%s", cls != nullptr ? cls : "?", printable(o.name).c_str());
  if (o.domain != nullptr) std::fprintf(out, "@%s", printable(o.domain).c_str());
}

// Opens the reply: the JSON object up to its result members. `source` is
// "qor" when the service answered `status`, "rpc" when the call raised it.
void json_open(FILE* out, const request& rq, const char* source, long status) {
  const char* text = std::strcmp(source, "qor") == 0
                         ? lookup_text(QOR_STATUS_TEXTS, status, "unknown status")
                         : lookup_text(RPC_STATUS_TEXTS, status, "RPC error");
  std::fprintf(out,
               "{\"command\":\"%s\",\"source\":\"%s\",\"status\":%ld,\"meaning\":", rq.cmd->name,
               source, status);
  json_string(out, text);
}

// What every command does with a status the service answered: the JSON
// object is left open for the command's results; in text, a failure goes to
// stderr. EXIT_OK or EXIT_STATUS.
int report_status(FILE* out, const request& rq, int status) {
  if (rq.json) {
    json_open(out, rq, "qor", status);
  } else if (status != NS_S_OK) {
    std::fprintf(stderr, "qorctl: %s: status %d: %s\n", rq.what.c_str(), status,
                 lookup_text(QOR_STATUS_TEXTS, status, "unknown status"));
  }
  return status == NS_S_OK ? EXIT_OK : EXIT_STATUS;
}

// A call that raised: the line names the service it was made to.
int report_rpc(FILE* out, const request& rq, long status, const std::string& server) {
  const char* text = lookup_text(RPC_STATUS_TEXTS, status, "RPC error");
  if (rq.json) {
    json_open(out, rq, "rpc", status);
    std::fputs("}\n", out);
  } else {
    std::fprintf(stderr, "qorctl: %s: RPC status %ld: %s (%s)\n", rq.what.c_str(), status, text,
                 server.c_str());
  }
  return EXIT_RPC;
}

void json_close(FILE* out, const request& rq) {
  if (rq.json) std::fputs("}\n", out);
}

// ---- Commands ----
//
// Each makes its calls inside one try: a call that raises ends the command
// with the RPC status, after the out parameters it filled are released.

int run_create(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  int32_t created = 0;
  int status =
      NS__cl_qor_createobj(ha, &rq.obj, &rq.assoc, rq.force, &rq.svinfo, &rq.members, &created);
  int rc = report_status(out, rq, status);
  if (rq.json) std::fprintf(out, ",\"created\":%d", created);
  json_close(out, rq);
  return rc;
}

int run_delete(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  int rc = report_status(out, rq, NS__cl_qor_deleteobj(ha, &rq.obj));
  json_close(out, rq);
  return rc;
}

int run_get(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  qorobjid server = {NS_CLASS_NONE, nullptr, nullptr};
  rpcbinding binding = {0, nullptr};
  int32_t auth = 0;
  int found = NS_CLASS_NONE;
  int status = NS__cl_qor_getobj(ha, &rq.obj, &server, &binding, &auth, &found);
  int rc = report_status(out, rq, status);
  if (rq.json) {
    std::fputs(",\"class\":", out);
    json_string(out, NS__ClassToStr(found));
    std::fputs(",\"server\":", out);
    json_objid(out, server);
    json_strings(out, "bindings", binding.len, binding.val);
    std::fprintf(out, ",\"support_auth\":%d", auth);
  } else if (status == NS_S_OK) {
    const char* cls = NS__ClassToStr(found);
    std::fprintf(out, "class: %s\n", cls != nullptr ? cls : "?");
    if (server.nsclass != NS_CLASS_NONE) {
      std::fputs("server: ", out);
      text_objid(out, server);
      std::fprintf(out, "\nsupport_auth: %d\n", auth);
    }
    for (int32_t i = 0; i < binding.len; ++i) {
      std::fprintf(out, "binding: %s\n", printable(binding.val[i]).c_str());
    }
  }
  json_close(out, rq);
  NS__free_qorobjid(&server);
  NS__free_rpcbinding(&binding);
  return rc;
}

int run_list(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  qorobjects objs = {0, nullptr};
  int status = NS__cl_qor_listobj(ha, &rq.obj, &objs);
  int rc = report_status(out, rq, status);
  if (rq.json) std::fputs(",\"objects\":[", out);
  for (int32_t i = 0; i < objs.len; ++i) {
    if (rq.json) {
      if (i > 0) std::fputc(',', out);
      json_objid(out, objs.val[i]);
    } else {
      text_objid(out, objs.val[i]);
      std::fputc('\n', out);
    }
  }
  if (rq.json) std::fputc(']', out);
  json_close(out, rq);
  NS__free_qorobjects(&objs);
  return rc;
}

// Commands whose answer is one string: host, getdomain, hello.
int print_string(FILE* out, const request& rq, int status, const char* key, char* value) {
  int rc = report_status(out, rq, status);
  if (rq.json) {
    std::fprintf(out, ",\"%s\":", key);
    json_string(out, value);
  } else if (status == NS_S_OK && value != nullptr) {
    std::fprintf(out, "%s\n", printable(value).c_str());
  }
  json_close(out, rq);
  NS__MIDL_user_free(value);
  return rc;
}

int run_host(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  char* host = nullptr;
  int status = NS__cl_qor_gethost(ha, &rq.obj, &host);
  return print_string(out, rq, status, "host", host);
}

int run_getdomain(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  char* domain = nullptr;
  int status = NS__cl_qor_getdomain(ha, &domain);
  return print_string(out, rq, status, "domain", domain);
}

// A string of the reply, released on every way out of a command.
struct reply_string {
  char* p = nullptr;
  ~reply_string() { NS__MIDL_user_free(p); }
};

// The domain a domains or hello command names: the one given, else the
// service's own, which the interface cannot express as null. False when the
// service did not answer it; the status has then been reported and *rc set.
bool target_domain(RPC_BINDING_HANDLE ha, const request& rq, FILE* out, reply_string* own,
                   const char** domain, int* rc) {
  *domain = rq.domain_arg;
  if (*domain != nullptr) return true;
  int status = NS__cl_qor_getdomain(ha, &own->p);
  *domain = own->p;
  if (status == NS_S_OK && own->p != nullptr) return true;
  *rc = report_status(out, rq, status == NS_S_OK ? NS_S_NODOMAIN : status);
  json_close(out, rq);
  return false;
}

int run_domains(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  reply_string own;
  const char* domain = nullptr;
  int rc = EXIT_OK;
  if (!target_domain(ha, rq, out, &own, &domain, &rc)) return rc;
  domainlist list = {0, nullptr};
  int status = NS__cl_qor_listdomain(ha, domain, &list);
  rc = report_status(out, rq, status);
  if (rq.json) {
    json_strings(out, "domains", list.len, list.val);
  } else {
    for (int32_t i = 0; i < list.len; ++i) {
      std::fprintf(out, "%s\n", printable(list.val[i]).c_str());
    }
  }
  json_close(out, rq);
  qor_ndr_free_strings(list.len, list.val);
  return rc;
}

int run_hello(RPC_BINDING_HANDLE ha, const request& rq, FILE* out) {
  reply_string own;
  const char* domain = nullptr;
  int rc = EXIT_OK;
  if (!target_domain(ha, rq, out, &own, &domain, &rc)) return rc;
  char* host = nullptr;
  int status = NS__cl_qor_hello(ha, domain, &host);
  return print_string(out, rq, status, "host", host);
}

constexpr command COMMANDS[] = {
    {"create", 2, 2, OPT_OBJECT | OPT_DOMAIN | OPT_CREATE, run_create,
     "create CLASS NAME [--domain D] [--force] [--host H --binding B... [--auth N]]\n"
     "              [--assoc CLASS:NAME[@D]] [--member CLASS:NAME[@D]...]",
     "Registers an object, or replaces its registration. A server (spooler, superv,\n"
     "ntfy) gives --host, one --binding per string binding and --auth; a printer or\n"
     "queue (lp, pp, queue) names its server with --assoc; a group or backup set\n"
     "names its members with --member. --force replaces a registration that the\n"
     "overwrite rules would keep, and a name held by the other class of the family.\n"},
    {"delete", 2, 2, OPT_OBJECT | OPT_DOMAIN, run_delete, "delete CLASS NAME [--domain D]",
     "Removes an object's registration.\n"},
    {"get", 2, 2, OPT_OBJECT | OPT_DOMAIN, run_get, "get CLASS NAME [--domain D]",
     "Looks an object up: the class it was found in, and for a server, printer or\n"
     "queue the server that answers for it, its bindings and support_auth.\n"
     "any-prn and any-svr look in both classes of the family.\n"},
    {"list", 1, 2, OPT_OBJECT | OPT_DOMAIN, run_list, "list CLASS [NAME] [--domain D]",
     "Lists every object of a class, one CLASS:NAME@DOMAIN a line; with NAME, the\n"
     "members of that group or backup set.\n"},
    {"host", 2, 2, OPT_OBJECT | OPT_DOMAIN, run_host, "host CLASS NAME [--domain D]",
     "The host a server registered, or that of a printer's or queue's server;\n"
     "any-prn and any-svr name no class to look in (status 5).\n"},
    {"domains", 0, 1, OPT_DOMAIN, run_domains, "domains [DOMAIN | --domain D]",
     "Lists the domains the service of DOMAIN knows (default: the service's own).\n"},
    {"hello", 0, 1, OPT_DOMAIN, run_hello, "hello [DOMAIN | --domain D]",
     "The network address of the machine on which DOMAIN's name service runs\n"
     "(default: the service's own domain).\n"},
    {"getdomain", 0, 0, 0, run_getdomain, "getdomain",
     "The domain or workgroup the service serves.\n"},
};

const command* find_command(const char* name) {
  for (const command& c : COMMANDS) {
    if (std::strcmp(c.name, name) == 0) return &c;
  }
  return nullptr;
}

void print_help(const command* cmd) {
  std::fputs("usage: qorctl [-s HOST | -b STRING-BINDING] [--json] COMMAND ...\n", stdout);
  if (cmd != nullptr) {
    std::printf("       qorctl %s\n\n%s", cmd->synopsis, cmd->help);
    return;
  }
  std::fputs("\nCommands:\n", stdout);
  for (const command& c : COMMANDS) std::printf("  %s\n", c.synopsis);
  std::fputs(
      "\nOptions:\n"
      "  -s, --server HOST     the qor service on HOST, found through its endpoint mapper\n"
      "  -b, --server-binding STRING-BINDING\n"
      "                        the qor service at this string binding\n"
      "  --json                print one JSON object on stdout\n"
      "  -d, --domain D        the domain of the object, or whose domains or address to\n"
      "                        ask for; the service forwards the request to that\n"
      "                        domain's service (default: the service's own domain)\n"
      "  -h, --help            this text; COMMAND --help for one command\n"
      "\nExit codes: 0 success, 1 the service answered a non-zero status,\n"
      "2 bad command line, 3 the call did not complete (RPC status).\n"
      "See qorctl(1).\n",
      stdout);
}

// Fills the request of the command from the command line. EXIT_OK or EXIT_USAGE.
int build_request(cmdline* cl, const command* cmd, request* rq,
                  std::vector<qorobjid>* member_storage) {
  size_t nargs = cl->args.size() - 1;
  if (nargs < static_cast<size_t>(cmd->min_args) || nargs > static_cast<size_t>(cmd->max_args)) {
    int first_line = static_cast<int>(std::strcspn(cmd->synopsis, "\n"));
    return usage_error("%s: wrong number of arguments; usage: qorctl %.*s", cmd->name, first_line,
                       cmd->synopsis);
  }
  for (const option_def& o : OPTIONS) {
    if (cl->given[o.id] && o.scope != OPT_GLOBAL && (cmd->scope & o.scope) == 0) {
      return usage_error("%s does not take --%s", cmd->name, o.long_name);
    }
  }
  rq->cmd = cmd;
  rq->json = cl->given[O_JSON];
  rq->obj = {NS_CLASS_NONE, nullptr, nullptr};
  rq->assoc = {NS_CLASS_NONE, nullptr, nullptr};
  rq->svinfo = {{0, nullptr}, nullptr, 0};
  rq->members = {0, nullptr};
  rq->force = cl->given[O_FORCE] ? 1 : 0;
  rq->what = cmd->name;
  for (size_t i = 1; i < cl->args.size(); ++i) rq->what.append(" ").append(printable(cl->args[i]));
  rq->domain_arg = cl->value[O_DOMAIN];
  if (rq->domain_arg != nullptr) rq->what.append(" --domain ").append(printable(rq->domain_arg));
  if (nargs >= 1 && (cmd->scope & OPT_OBJECT) == 0) {
    if (rq->domain_arg != nullptr) return usage_error("%s: the domain given twice", cmd->name);
    rq->domain_arg = cl->args[1];
  }
  // The service would take "" for a domain it cannot name (19), not for its own.
  if (rq->domain_arg != nullptr && rq->domain_arg[0] == '\0') {
    return usage_error("%s: an empty domain name", cmd->name);
  }
  if ((cmd->scope & OPT_OBJECT) == 0) return EXIT_OK;

  int rc = parse_class(cl->args[1], &rq->obj.nsclass);
  if (rc != EXIT_OK) return rc;
  bool members = rq->obj.nsclass == NS_CLASS_GROUP || rq->obj.nsclass == NS_CLASS_BACKUP;
  if (cmd->run == run_list && nargs == 2 && !members) {
    // The service lists the whole class and ignores the name.
    return usage_error("list %s: NAME is for group and backup", cl->args[1]);
  }
  rq->obj.name = nargs >= 2 ? const_cast<char*>(cl->args[2]) : nullptr;
  rq->obj.domain = const_cast<char*>(cl->value[O_DOMAIN]);
  if (cmd->scope & OPT_CREATE) {
    if ((rc = check_create_kind(rq->obj.nsclass, *cl)) != EXIT_OK) return rc;
    if (cl->given[O_AUTH] && (rc = parse_auth(cl->value[O_AUTH], &rq->svinfo.support_auth))) {
      return rc;
    }
    rq->svinfo.host = const_cast<char*>(cl->value[O_HOST]);
    rq->svinfo.binding.len = static_cast<int32_t>(cl->bindings.size());
    rq->svinfo.binding.val = const_cast<char**>(cl->bindings.data());
    if (cl->given[O_ASSOC] &&
        (rc = parse_object_arg("assoc", const_cast<char*>(cl->value[O_ASSOC]), &rq->assoc))) {
      return rc;
    }
    member_storage->resize(cl->members.size());
    for (size_t i = 0; i < cl->members.size(); ++i) {
      rc = parse_object_arg("member", const_cast<char*>(cl->members[i]), &(*member_storage)[i]);
      if (rc != EXIT_OK) return rc;
    }
    rq->members.len = static_cast<int32_t>(member_storage->size());
    rq->members.val = member_storage->data();
  }
  return EXIT_OK;
}

int binding_error(const std::string& what, long st) {
  std::fprintf(stderr, "qorctl: %s: RPC status %ld: %s (qorctl --help)\n", what.c_str(), st,
               lookup_text(RPC_STATUS_TEXTS, st, "RPC error"));
  return EXIT_USAGE;
}

// The binding handle of the service: -b as given; -s HOST or, by default,
// this machine (the address qor listens on when the settings file names
// one, else 127.0.0.1), without an endpoint: the runtime asks the host's
// endpoint mapper at the first call. EXIT_OK, or EXIT_USAGE for a string
// binding that cannot be used.
int open_binding(const cmdline& cl, RPC_BINDING_HANDLE* ha, std::string* what_out) {
  char* text = nullptr;
  RPC_STATUS st;
  std::string& what = *what_out;
  if (cl.given[O_SRVBIND]) {
    what = "-b " + printable(cl.value[O_SRVBIND]);
    st = RpcBindingFromStringBindingA(cl.value[O_SRVBIND], ha);
  } else {
    char* listen = cl.given[O_SERVER] ? nullptr : NS__GetRegStr("RpcListenAddress", nullptr);
    // An empty RpcListenAddress is unset for the service too: it listens everywhere.
    const char* host = cl.given[O_SERVER]                    ? cl.value[O_SERVER]
                       : listen != nullptr && *listen != '\0' ? listen
                                                             : "127.0.0.1";
    st = RpcStringBindingComposeA(nullptr, "ncacn_ip_tcp", host, nullptr, nullptr, &text);
    if (st == RPC_S_OK) st = RpcBindingFromStringBindingA(text, ha);
    what = (cl.given[O_SERVER] ? "-s " : "the local host ") + printable(host);
    std::free(listen);
  }
  std::free(text);
  if (st == RPC_S_OK) return EXIT_OK;
  return binding_error(what, st);
}

// A binding the runtime takes apart only at the first call: a protocol
// sequence, endpoint, address or object UUID it cannot use. Nothing was sent.
bool unusable_binding(long status) {
  return status == RPC_S_PROTSEQ_NOT_SUPPORTED || status == RPC_S_INVALID_RPC_PROTSEQ ||
         status == RPC_S_INVALID_STRING_UUID || status == RPC_S_INVALID_ENDPOINT_FORMAT ||
         status == RPC_S_INVALID_NET_ADDR;
}

// A script must not take an answer that never reached it for success.
int flushed(int rc) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "qorctl: standard output: %s\n", std::strerror(errno));
    return EXIT_RPC;
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  cmdline cl = {};
  int rc = parse_cmdline(argc, argv, &cl);
  if (rc != EXIT_OK) return rc;

  const command* cmd = nullptr;
  if (!cl.args.empty() && std::strcmp(cl.args[0], "help") != 0) {
    cmd = find_command(cl.args[0]);
    if (cmd == nullptr) return usage_error("unknown command '%s'", cl.args[0]);
  } else if (cl.args.size() > 2) {
    return usage_error("help takes one command");
  } else if (cl.args.size() == 2) {
    cmd = find_command(cl.args[1]);  // help COMMAND
    if (cmd == nullptr) return usage_error("unknown command '%s'", cl.args[1]);
  }
  if (cl.args.empty() && !cl.given[O_HELP]) return usage_error("no command");
  if (cl.given[O_HELP] || std::strcmp(cl.args[0], "help") == 0) {
    print_help(cmd);
    return flushed(EXIT_OK);
  }
  if (cl.given[O_SERVER] && cl.given[O_SRVBIND]) {
    return usage_error("-s and -b both name the service; give one");
  }
  // An unset variable in a script must not quietly mean this machine.
  if ((cl.given[O_SERVER] && cl.value[O_SERVER][0] == '\0') ||
      (cl.given[O_SRVBIND] && cl.value[O_SRVBIND][0] == '\0')) {
    return usage_error("an empty -s or -b");
  }

  request rq;
  std::vector<qorobjid> members;
  if ((rc = build_request(&cl, cmd, &rq, &members)) != EXIT_OK) return rc;

  RPC_BINDING_HANDLE ha = nullptr;
  std::string server;
  if ((rc = open_binding(cl, &ha, &server)) != EXIT_OK) return rc;
  try {
    rc = cmd->run(ha, rq, stdout);
  } catch (const rpc_exception& e) {
    rc = unusable_binding(e.status()) ? binding_error(server, e.status())
                                      : report_rpc(stdout, rq, e.status(), server);
  }
  RpcBindingFree(&ha);
  return flushed(rc);
}
