#include "registry/nameobj.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/fileops.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "registry/group_p.h"
#include "registry/rwlock_p.h"
#include "registry/server_p.h"
#include "registry/status.h"
#include "registry/svassoc_p.h"

rwhandle* NS__objlock = nullptr;
char* NS__ms_domain = nullptr;

namespace {

// One slot per class number; paths and priv exist only while the registry is
// built. The class names are those of the record module, the only list of them.
nameobj class_slot(int nsclass, const nameobj_callback* cb) {
  return nameobj{nsclass, NS__ClassToStr(nsclass), cb, nullptr, nullptr, nullptr, nullptr};
}

nameobj objtable[NS_CLASS_COUNT] = {
    class_slot(NS_CLASS_LP, &NS__svassoc_cb),    class_slot(NS_CLASS_PP, &NS__svassoc_cb),
    class_slot(NS_CLASS_ANYPRN, nullptr),        class_slot(NS_CLASS_SPOOLER, &NS__server_cb),
    class_slot(NS_CLASS_SUPERV, &NS__server_cb), class_slot(NS_CLASS_ANYSVR, nullptr),
    class_slot(NS_CLASS_QUEUE, &NS__svassoc_cb), class_slot(NS_CLASS_NTFY, &NS__server_cb),
    class_slot(NS_CLASS_GROUP, &NS__group_cb),   class_slot(NS_CLASS_BACKUP, &NS__group_cb),
    class_slot(NS_CLASS_NONE, nullptr),
};

// The data directory, for syncing it after the renames of a rewrite.
char* datadir = nullptr;
// The data directory held with flock for the life of the registry: a second
// service on the same directory (started with -f, or for another LAN group)
// would clear the first one's files at its start-up and rewrite them after.
int dirlock = -1;

void unlock_datadir() {
  if (dirlock >= 0) close(dirlock);
  dirlock = -1;
}

nameobj* served(int nsclass) {
  if (nsclass < 0 || nsclass >= NS_CLASS_COUNT) return nullptr;
  return objtable[nsclass].cb != nullptr ? &objtable[nsclass] : nullptr;
}

char* make_path(const char* dir, const char* name, const char* ext) {
  size_t len = strlen(dir) + 1 + strlen(name) + strlen(ext) + 1;
  char* path = static_cast<char*>(qor_malloc(len));
  if (path != nullptr) snprintf(path, len, "%s/%s%s", dir, name, ext);
  return path;
}

void free_paths(nameobj* slot) {
  qor_free(slot->datafile);
  qor_free(slot->newfile);
  qor_free(slot->tmpfile);
  slot->datafile = nullptr;
  slot->newfile = nullptr;
  slot->tmpfile = nullptr;
}

// A value a recovery file gives back unchanged: one line of valid UTF-8 that
// the line reader neither skips (empty, comment) nor splits (CR, LF).
bool storable(const char* s) { return NS__text_storable(s) && qor_utf8_valid(s); }

// Refuses, before anything changes, every string the class's store would write
// to its recovery file but could not read back, a binding list with a null
// element, and what the store or its file would refuse anyway: a bad request
// must not cost the forced deletion of the family's other member.
int check_storable(const nameobj* slot, const qorobjid* obj, const qorobjid* assoc,
                   const qor_serverinfo* svinfo, const qorobjects* mbr) {
  if (!storable(obj->name)) return NS_S_NODATA;
  if (slot->cb == &NS__server_cb) {
    if (svinfo == nullptr || svinfo->binding.len <= 0 || svinfo->binding.val == nullptr ||
        !storable(svinfo->host)) {
      return NS_S_NODATA;
    }
    for (int i = 0; i < svinfo->binding.len; i++) {
      if (!storable(svinfo->binding.val[i])) return NS_S_NODATA;
    }
  } else if (slot->cb == &NS__svassoc_cb) {
    if (assoc == nullptr || !storable(assoc->name)) return NS_S_NODATA;
    if (assoc->domain != nullptr && !storable(assoc->domain)) return NS_S_NODATA;
    if (NS__ClassToStr(assoc->nsclass) == nullptr) return NS_S_NOCLASS;
  } else if (slot->cb == &NS__group_cb && mbr != nullptr) {
    if (mbr->len < 0 || (mbr->len > 0 && mbr->val == nullptr)) return NS_S_NODATA;
    for (int i = 0; i < mbr->len; i++) {
      const qorobjid* m = &mbr->val[i];
      // A nameless member: what writing its identity would answer, before any change.
      if (m->name == nullptr) return NS_S_NOID;
      if (!storable(m->name)) return NS_S_NODATA;
      if (m->domain != nullptr && !storable(m->domain)) return NS_S_NODATA;
    }
  }
  return NS_S_OK;
}

void set_empty_server(qorobjid* server, rpcbinding* binding) {
  server->nsclass = NS_CLASS_NONE;
  server->name = nullptr;
  server->domain = nullptr;
  binding->len = 0;
  binding->val = nullptr;
}

// The two members of a family class, or false for any other class.
bool family_members(int nsclass, int* first, int* second) {
  if (nsclass == NS_CLASS_ANYPRN) {
    *first = NS_CLASS_LP;
    *second = NS_CLASS_PP;
    return true;
  }
  if (nsclass == NS_CLASS_ANYSVR) {
    *first = NS_CLASS_SPOOLER;
    *second = NS_CLASS_SUPERV;
    return true;
  }
  return false;
}

int family_of(int nsclass) {
  if (nsclass == NS_CLASS_LP || nsclass == NS_CLASS_PP) return NS_CLASS_ANYPRN;
  if (nsclass == NS_CLASS_SPOOLER || nsclass == NS_CLASS_SUPERV) return NS_CLASS_ANYSVR;
  return NS_CLASS_NONE;
}

}  // namespace

int NS__InitNameObj(const char* datapath) {
  // The own domain is written into records as their default domain.
  if (datapath == nullptr || NS__ms_domain == nullptr || !storable(NS__ms_domain)) {
    return NS_S_SYSFAIL;
  }
  int status = NS__LKInit(&NS__objlock);
  if (status != NS_S_OK) return status;

  int slot = -1;
  datadir = qor_strdup(datapath);
  if (datadir == nullptr) {
    status = NS_S_NOMEM;
  } else if (qor_fops.mkdir(datapath, 0777) != 0 && errno != EEXIST) {
    status = NS_S_SYSFAIL;
  } else if ((dirlock = open(datapath, O_RDONLY | O_DIRECTORY | O_CLOEXEC)) < 0 ||
             flock(dirlock, LOCK_EX | LOCK_NB) != 0) {
    status = NS_S_SYSFAIL;
  } else {
    for (slot = 0; slot < NS_CLASS_COUNT; slot++) {
      nameobj* t = &objtable[slot];
      t->priv = nullptr;
      t->datafile = t->newfile = t->tmpfile = nullptr;
      if (t->cb == nullptr) continue;
      t->datafile = make_path(datapath, t->name, ".dat");
      t->newfile = make_path(datapath, t->name, ".new");
      t->tmpfile = make_path(datapath, t->name, ".tmp");
      if (t->datafile == nullptr || t->newfile == nullptr || t->tmpfile == nullptr) {
        status = NS_S_NOMEM;
        break;
      }
      status = t->cb->init(t);
      if (status != NS_S_OK) break;
    }
    if (status == NS_S_OK) return NS_S_OK;
  }

  // Unwind: the lock, then every class built so far, last first. The failed
  // slot's init has cleaned up after itself.
  NS__LKTerm(NS__objlock);
  NS__objlock = nullptr;
  for (int s = slot; s >= 0; s--) {
    nameobj* t = &objtable[s];
    if (t->cb == nullptr) continue;
    free_paths(t);
    if (s != slot) t->cb->term(t);
  }
  qor_free(datadir);
  datadir = nullptr;
  unlock_datadir();
  return status;
}

int NS__TermNameObj() {
  if (NS__objlock == nullptr) return NS_S_NOTINIT;
  int status = NS__LKWlock(NS__objlock);
  if (status != NS_S_OK) return status;
  for (nameobj& t : objtable) {
    if (t.cb == nullptr) continue;
    free_paths(&t);
    t.cb->term(&t);
  }
  qor_free(datadir);
  datadir = nullptr;
  unlock_datadir();
  NS__LKUnlock(NS__objlock);
  NS__LKTerm(NS__objlock);
  NS__objlock = nullptr;
  return NS_S_OK;
}

int NS__CreateObj(qorobjid* obj, qorobjid* assoc, int force, qor_serverinfo* svinfo,
                  qorobjects* mbr, int* created) {
  *created = 0;
  if (NS__objlock == nullptr) return NS_S_NOTINIT;
  if (obj == nullptr) return NS_S_NOID;
  nameobj* slot = served(obj->nsclass);
  if (slot == nullptr) return NS_S_NOCLASS;
  if (obj->name == nullptr) return NS_S_NOID;
  int status = check_storable(slot, obj, assoc, svinfo, mbr);
  if (status != NS_S_OK) return status;

  int family = family_of(obj->nsclass);
  if (family != NS_CLASS_NONE) {
    // One name space per family: the name may live in only one of its classes.
    qorobjid probe{family, obj->name, obj->domain};
    qorobjid server;
    rpcbinding binding;
    int supportauth = 0;
    int found = NS_CLASS_NONE;
    status = NS__GetObj(&probe, &server, &binding, &supportauth, &found);
    if (status != NS_S_OK && status != NS_S_NOENTRY) return status;
    if (status == NS_S_OK) {
      NS__free_qorobjid(&server);
      NS__free_rpcbinding(&binding);
      if (found != obj->nsclass) {
        if (!force) return NS_S_EXISTS;
        qorobjid other{found, obj->name, obj->domain};
        status = NS__DeleteObj(&other);
        if (status != NS_S_OK && status != NS_S_NOENTRY) return status;
      }
    }
  }
  return slot->cb->createobj(slot, obj, assoc, force, svinfo, mbr, created);
}

int NS__DeleteObj(qorobjid* obj) {
  if (NS__objlock == nullptr) return NS_S_NOTINIT;
  if (obj == nullptr) return NS_S_NOID;
  nameobj* slot = served(obj->nsclass);
  if (slot == nullptr) return NS_S_NOCLASS;
  if (obj->name == nullptr) return NS_S_NOID;
  return slot->cb->deleteobj(slot, obj);
}

int NS__GetObj(qorobjid* obj, qorobjid* server, rpcbinding* binding, int* supportauth,
               int* objclass) {
  int first, second;
  if (obj != nullptr && family_members(obj->nsclass, &first, &second)) {
    qorobjid member = *obj;
    member.nsclass = first;
    int status = NS__GetObj(&member, server, binding, supportauth, objclass);
    if (status != NS_S_NOENTRY) return status;
    member.nsclass = second;
    *objclass = second;
    return NS__GetObj(&member, server, binding, supportauth, objclass);
  }

  set_empty_server(server, binding);
  *supportauth = 0;
  int status;
  nameobj* slot = nullptr;
  if (NS__objlock == nullptr) {
    status = NS_S_NOTINIT;
  } else if (obj == nullptr) {
    status = NS_S_NOID;
  } else if ((slot = served(obj->nsclass)) == nullptr) {
    return NS_S_NOCLASS;
  } else if (obj->name == nullptr) {
    status = NS_S_NOID;
  } else {
    status = slot->cb->getobj(slot, obj, server, binding, supportauth);
  }
  if (status == NS_S_OK) {
    *objclass = obj->nsclass;
    return NS_S_OK;
  }
  set_empty_server(server, binding);
  *objclass = NS_CLASS_NONE;
  return status;
}

int NS__ListObj(qorobjid* obj, qorobjects* objs) {
  objs->len = 0;
  objs->val = nullptr;
  if (NS__objlock == nullptr) return NS_S_NOTINIT;
  if (obj == nullptr) return NS_S_NOID;

  int first, second;
  if (family_members(obj->nsclass, &first, &second)) {
    qorobjid member = *obj;
    qorobjects one{0, nullptr};
    qorobjects two{0, nullptr};
    member.nsclass = first;
    int status = NS__ListObj(&member, &one);
    if (status == NS_S_OK) {
      member.nsclass = second;
      status = NS__ListObj(&member, &two);
    }
    if (status == NS_S_OK && one.len + two.len > 0) {
      objs->val = static_cast<qorobjid*>(qor_calloc(one.len + two.len, sizeof(qorobjid)));
      if (objs->val == nullptr) status = NS_S_NOMEM;
    }
    if (status != NS_S_OK) {
      NS__free_qorobjects(&one);
      NS__free_qorobjects(&two);
      objs->val = nullptr;
      return status;
    }
    if (one.len + two.len == 0) return NS_S_OK;
    // The strings move over; only the two old arrays are freed.
    if (one.len > 0) memcpy(objs->val, one.val, one.len * sizeof(qorobjid));
    if (two.len > 0) memcpy(objs->val + one.len, two.val, two.len * sizeof(qorobjid));
    objs->len = one.len + two.len;
    if (one.len > 0) qor_free(one.val);
    if (two.len > 0) qor_free(two.val);
    return NS_S_OK;
  }

  nameobj* slot = served(obj->nsclass);
  if (slot == nullptr) return NS_S_NOCLASS;
  return slot->cb->listobj(slot, obj, objs);
}

int NS__GetHost(qorobjid* obj, char** host) {
  *host = nullptr;
  if (NS__objlock == nullptr) return NS_S_NOTINIT;
  if (obj == nullptr) return NS_S_NOID;
  nameobj* slot = served(obj->nsclass);
  if (slot == nullptr) return NS_S_NOCLASS;
  if (obj->name == nullptr) return NS_S_NOID;
  int status = slot->cb->gethost(slot, obj, host);
  if (status != NS_S_OK) {
    qor_free(*host);
    *host = nullptr;
  }
  return status;
}

// ---------------------------------------------------------------------------
// Recovery files

int NS__WriteObject(nameobj* tab, writeFunc_t writefunc, void* arg) {
  // A .new left by a failed last rename may be the class's only complete
  // file: it stays until the rename below replaces it.
  FILE* fp = qor_fops.open(tab->tmpfile, "w");
  if (fp == nullptr) return NS_S_SYSFAIL;
  // A class of many records goes out in few system calls; without the
  // buffer the stream writes as it would anyway, only in smaller pieces.
  setvbuf(fp, nullptr, _IOFBF, 64 * 1024);

  time_t now = time(nullptr);
  char when[64];
  if (ctime_r(&now, when) == nullptr) snprintf(when, sizeof when, "?\n");
  int status = NS_S_OK;
  if (qor_fprintf(fp, "# V1.11:recovery file for %s\n", tab->name) != 0 ||
      qor_fprintf(fp, "# last modified %s\n\n", when) != 0) {
    status = NS_S_SYSFAIL;
  }
  if (status == NS_S_OK) status = writefunc(tab, fp, arg);
  // The content must be on disk before a rename can make it the current file,
  // or a crash could leave a renamed but empty .dat.
  if (status == NS_S_OK && (qor_fops.flush(fp) != 0 || ferror(fp))) status = NS_S_SYSFAIL;
  if (status == NS_S_OK && qor_fops.fsync(fp) != 0) status = NS_S_SYSFAIL;
  // A failed close is the answer whatever the writing answered.
  if (qor_fops.close(fp) != 0) status = NS_S_SYSFAIL;
  if (status != NS_S_OK) {
    qor_fops.remove(tab->tmpfile);
    return status;
  }

  if (qor_fops.rename(tab->tmpfile, tab->newfile) != 0) {
    qor_fops.remove(tab->tmpfile);
    return NS_S_SYSFAIL;
  }
  errno = 0;
  if (qor_fops.remove(tab->datafile) != 0 && errno != ENOENT) {
    qor_fops.remove(tab->newfile);
    return NS_S_SYSFAIL;
  }
  // From here until the rename lands only .new exists; the start-up choice
  // takes it as the current file.
  if (qor_fops.rename(tab->newfile, tab->datafile) != 0) return NS_S_SYSFAIL;
  // Make the renames themselves survive a crash. A failure here is not
  // reported: .dat already holds the new content, as the table does.
  if (datadir != nullptr) qor_fops.fsyncdir(datadir);
  return NS_S_OK;
}

int NS__RecoverFile(nameobj* tab) {
  // A file that was being written is never used.
  qor_fops.remove(tab->tmpfile);

  struct stat st;
  errno = 0;
  if (qor_fops.stat(tab->datafile, &st) == 0) {
    // The current file wins over a next file: the rewrite did not complete.
    qor_fops.remove(tab->newfile);
    return NS_S_OK;
  }
  // Only a .dat known to be absent may be replaced by the .new.
  if (errno != ENOENT) return NS_S_SYSFAIL;
  errno = 0;
  if (qor_fops.stat(tab->newfile, &st) == 0) {
    if (qor_fops.rename(tab->newfile, tab->datafile) != 0) return NS_S_SYSFAIL;
    if (datadir != nullptr) qor_fops.fsyncdir(datadir);
    return NS_S_OK;
  }
  // A .new that may exist may hold the class's only copy: starting without it
  // would let the first change rename over it, so the start is refused instead.
  return errno == ENOENT ? NS_S_OK : NS_S_SYSFAIL;
}
