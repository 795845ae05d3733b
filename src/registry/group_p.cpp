#include "registry/group_p.h"

#include "platform/memory.h"
#include "registry/status.h"
#include "registry/table.h"
#include "registry/util_p.h"
#include "service/qormain.h"

namespace {

int readent_group(FILE* fp, char** buf, size_t* size, void* ent) {
  return NS__read_qorobjects(fp, buf, size, static_cast<qorobjects*>(ent));
}
int writeent_group(FILE* fp, const void* ent) {
  return NS__write_qorobjects(fp, static_cast<const qorobjects*>(ent));
}
void freeent_group(void* ent) { NS__free_qorobjects(static_cast<qorobjects*>(ent)); }
int checkov_group(const void* newent, const void* curent, int* canov) {
  return NS__can_overwrite_group(static_cast<const qorobjects*>(newent),
                                 static_cast<const qorobjects*>(curent), canov);
}

const putil_callback putil_cb = {sizeof(qorobjects), readent_group, writeent_group, freeent_group,
                                 checkov_group};

void free_group(void* ent) {
  if (ent == nullptr) return;
  NS__free_qorobjects(static_cast<qorobjects*>(ent));
  qor_free(ent);
}

int init_group(nameobj* tab) { return NS__putil_init(&putil_cb, tab, free_group); }

void term_group(nameobj* tab) { NS__putil_term(tab, free_group); }

int createobj_group(nameobj* tab, qorobjid* obj, qorobjid* /*assoc*/, int force,
                    qor_serverinfo* /*svinfo*/, qorobjects* mbr, int* created) {
  if (mbr == nullptr || mbr->len == 0) return NS_S_NODATA;
  auto* ent = static_cast<qorobjects*>(qor_calloc(1, sizeof(qorobjects)));
  if (ent == nullptr) return NS_S_NOMEM;
  int status = NS__copy_qorobjects(ent, mbr);
  if (status != NS_S_OK) {
    qor_free(ent);
    return status;
  }
  // A member without a domain is in the own domain.
  for (int i = 0; i < ent->len; i++) {
    if (ent->val[i].domain != nullptr) continue;
    ent->val[i].domain = qor_strdup(NS__ms_domain);
    if (ent->val[i].domain == nullptr) {
      free_group(ent);
      return NS_S_NOMEM;
    }
  }
  status = NS__putil_wlock();
  if (status != NS_S_OK) {
    free_group(ent);
    return status;
  }
  int done = NS__putil_createobj(&putil_cb, tab, obj, ent, force, created);
  status = NS__putil_unlock(done);
  // The lock could not be given back: a record the table took stays there.
  if (done == NS_S_OK && status != NS_S_OK) *created = 1;
  if (status != NS_S_OK && *created == 0) free_group(ent);
  return status;
}

int deleteobj_group(nameobj* tab, qorobjid* obj) {
  int status = NS__putil_wlock();
  if (status != NS_S_OK) return status;
  return NS__putil_unlock(NS__putil_deleteobj(&putil_cb, tab, obj));
}

// With a name: that list's members as registered; without: every list's name.
int listobj_group(nameobj* tab, qorobjid* obj, qorobjects* objs) {
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  if (obj->name != nullptr) {
    void* data = nullptr;
    status = NS__TabGet(static_cast<tabhandle*>(tab->priv), obj->name, &data);
    if (status == NS_S_OK) status = NS__copy_qorobjects(objs, static_cast<qorobjects*>(data));
  } else {
    status = NS__putil_listobj(tab, objs);
  }
  status = NS__putil_unlock(status);
  if (status != NS_S_OK) {
    NS__free_qorobjects(objs);
    objs->len = 0;
    objs->val = nullptr;
  }
  return status;
}

int getobj_group(nameobj* tab, qorobjid* obj, qorobjid* /*server*/, rpcbinding* /*binding*/,
                 int* /*supportauth*/) {
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  void* data = nullptr;
  status = NS__TabGet(static_cast<tabhandle*>(tab->priv), obj->name, &data);
  return NS__putil_unlock(status == NS_S_OK ? NS_S_OK : NS_S_NOENTRY);
}

int gethost_group(nameobj* /*tab*/, qorobjid* /*obj*/, char** /*host*/) { return NS_S_NODATA; }

}  // namespace

const nameobj_callback NS__group_cb = {init_group,      term_group,    createobj_group,
                                       deleteobj_group, listobj_group, getobj_group,
                                       gethost_group,   nullptr};
