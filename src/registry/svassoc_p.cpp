#include "registry/svassoc_p.h"

#include "platform/memory.h"
#include "registry/server_p.h"
#include "registry/status.h"
#include "registry/table.h"
#include "registry/util_p.h"
#include "service/qormain.h"

namespace {

// Associations being followed by this thread's current lookup. Each hop
// re-enters the front, so the count lives beside the thread, not the call.
thread_local int assoc_hops = 0;

int readent_svassoc(FILE* fp, char** buf, size_t* size, void* ent) {
  return NS__read_qorobjid(fp, buf, size, static_cast<qorobjid*>(ent));
}
int writeent_svassoc(FILE* fp, const void* ent) {
  return NS__write_qorobjid(fp, static_cast<const qorobjid*>(ent));
}
void freeent_svassoc(void* ent) { NS__free_qorobjid(static_cast<qorobjid*>(ent)); }
int checkov_svassoc(const void* newent, const void* curent, int* canov) {
  return NS__can_overwrite_svassoc(static_cast<const qorobjid*>(newent),
                                   static_cast<const qorobjid*>(curent), canov);
}

const putil_callback putil_cb = {sizeof(qorobjid), readent_svassoc, writeent_svassoc,
                                 freeent_svassoc, checkov_svassoc};

void free_svassoc(void* ent) {
  if (ent == nullptr) return;
  NS__free_qorobjid(static_cast<qorobjid*>(ent));
  qor_free(ent);
}

int init_svassoc(nameobj* tab) { return NS__putil_init(&putil_cb, tab, free_svassoc); }

void term_svassoc(nameobj* tab) { NS__putil_term(tab, free_svassoc); }

int createobj_svassoc(nameobj* tab, qorobjid* obj, qorobjid* assoc, int force,
                      qor_serverinfo* /*svinfo*/, qorobjects* /*mbr*/, int* created) {
  if (assoc == nullptr || assoc->name == nullptr) return NS_S_NODATA;
  auto* ent = static_cast<qorobjid*>(qor_calloc(1, sizeof(qorobjid)));
  if (ent == nullptr) return NS_S_NOMEM;
  // A target without a domain is in the own domain; the caller's assoc stays.
  qorobjid target = *assoc;
  if (target.domain == nullptr) target.domain = NS__ms_domain;
  int status = NS__copy_qorobjid(ent, &target);
  if (status != NS_S_OK) {
    qor_free(ent);
    return status;
  }
  status = NS__putil_wlock();
  if (status != NS_S_OK) {
    free_svassoc(ent);
    return status;
  }
  int done = NS__putil_createobj(&putil_cb, tab, obj, ent, force, created);
  status = NS__putil_unlock(done);
  // The lock could not be given back: a record the table took stays there.
  if (done == NS_S_OK && status != NS_S_OK) *created = 1;
  if (status != NS_S_OK && *created == 0) free_svassoc(ent);
  return status;
}

int deleteobj_svassoc(nameobj* tab, qorobjid* obj) {
  int status = NS__putil_wlock();
  if (status != NS_S_OK) return status;
  return NS__putil_unlock(NS__putil_deleteobj(&putil_cb, tab, obj));
}

// Copies obj's association out of the table under the read lock. The lock is
// given back before the caller follows the association through the front: the
// lock is not re-entrant, and a waiting writer would otherwise deadlock the
// second read hold.
int copy_association(nameobj* tab, const qorobjid* obj, qorobjid* target) {
  target->nsclass = NS_CLASS_NONE;
  target->name = nullptr;
  target->domain = nullptr;
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  void* data = nullptr;
  status = NS__TabGet(static_cast<tabhandle*>(tab->priv), obj->name, &data);
  if (status == NS_S_OK) status = NS__copy_qorobjid(target, static_cast<qorobjid*>(data));
  status = NS__putil_unlock(status);
  // A chain this long is a cycle or as bad as one: its target is not found.
  if (status == NS_S_OK && assoc_hops >= NS_MAX_ASSOC_HOPS) status = NS_S_NOTARGET;
  if (status != NS_S_OK) {
    NS__free_qorobjid(target);
    target->name = nullptr;
    target->domain = nullptr;
  }
  return status;
}

int getobj_svassoc(nameobj* tab, qorobjid* obj, qorobjid* server, rpcbinding* binding,
                   int* supportauth) {
  qorobjid target;
  int status = copy_association(tab, obj, &target);
  if (status != NS_S_OK) return status;
  int foundclass = NS_CLASS_NONE;
  assoc_hops++;
  status = NS__GetObj(&target, server, binding, supportauth, &foundclass);
  assoc_hops--;
  NS__free_qorobjid(&target);
  return status == NS_S_NOENTRY ? NS_S_NOTARGET : status;
}

int gethost_svassoc(nameobj* tab, qorobjid* obj, char** host) {
  qorobjid target;
  int status = copy_association(tab, obj, &target);
  if (status != NS_S_OK) return status;
  assoc_hops++;
  status = NS__GetHost(&target, host);
  assoc_hops--;
  NS__free_qorobjid(&target);
  return status == NS_S_NOENTRY ? NS_S_NOTARGET : status;
}

}  // namespace

const nameobj_callback NS__svassoc_cb = {init_svassoc,      term_svassoc,    createobj_svassoc,
                                         deleteobj_svassoc, listobj_svassoc, getobj_svassoc,
                                         gethost_svassoc,   nullptr};
