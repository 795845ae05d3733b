#include "registry/server_p.h"

#include "platform/memory.h"
#include "registry/status.h"
#include "registry/table.h"
#include "registry/util_p.h"
#include "service/qormain.h"

namespace {

int readent_server(FILE* fp, char** buf, size_t* size, void* ent) {
  return NS__read_qor_serverinfo(fp, buf, size, static_cast<qor_serverinfo*>(ent));
}
int writeent_server(FILE* fp, const void* ent) {
  return NS__write_qor_serverinfo(fp, static_cast<const qor_serverinfo*>(ent));
}
void freeent_server(void* ent) { NS__free_qor_serverinfo(static_cast<qor_serverinfo*>(ent)); }
int checkov_server(const void* newent, const void* curent, int* canov) {
  return NS__can_overwrite_server(static_cast<const qor_serverinfo*>(newent),
                                  static_cast<const qor_serverinfo*>(curent), canov);
}

const putil_callback putil_cb = {sizeof(qor_serverinfo), readent_server, writeent_server,
                                 freeent_server, checkov_server};

void free_server(void* ent) {
  if (ent == nullptr) return;
  NS__free_qor_serverinfo(static_cast<qor_serverinfo*>(ent));
  qor_free(ent);
}

int init_server(nameobj* tab) { return NS__putil_init(&putil_cb, tab, free_server); }

void term_server(nameobj* tab) { NS__putil_term(tab, free_server); }

int createobj_server(nameobj* tab, qorobjid* obj, qorobjid* /*assoc*/, int force,
                     qor_serverinfo* svinfo, qorobjects* /*mbr*/, int* created) {
  if (svinfo == nullptr || svinfo->host == nullptr || svinfo->binding.len <= 0) return NS_S_NODATA;
  auto* ent = static_cast<qor_serverinfo*>(qor_calloc(1, sizeof(qor_serverinfo)));
  if (ent == nullptr) return NS_S_NOMEM;
  if (NS__copy_qor_serverinfo(ent, svinfo) != NS_S_OK) {
    qor_free(ent);
    return NS_S_NOMEM;
  }
  int status = NS__putil_wlock();
  if (status != NS_S_OK) {
    free_server(ent);
    return status;
  }
  int done = NS__putil_createobj(&putil_cb, tab, obj, ent, force, created);
  status = NS__putil_unlock(done);
  // The lock could not be given back: a record the table took stays there.
  if (done == NS_S_OK && status != NS_S_OK) *created = 1;
  if (status != NS_S_OK && *created == 0) free_server(ent);
  return status;
}

int deleteobj_server(nameobj* tab, qorobjid* obj) {
  int status = NS__putil_wlock();
  if (status != NS_S_OK) return status;
  return NS__putil_unlock(NS__putil_deleteobj(&putil_cb, tab, obj));
}

int getobj_server(nameobj* tab, qorobjid* obj, qorobjid* server, rpcbinding* binding,
                  int* supportauth) {
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  void* data = nullptr;
  status = NS__TabGet(static_cast<tabhandle*>(tab->priv), obj->name, &data);
  if (status == NS_S_OK) {
    auto* ent = static_cast<qor_serverinfo*>(data);
    status = NS__copy_rpcbinding(binding, &ent->binding);
    if (status == NS_S_OK) *supportauth = ent->support_auth;
  }
  status = NS__putil_unlock(status);
  if (status == NS_S_OK) {
    // The server of a server object is the object itself, in the own domain.
    qorobjid self{obj->nsclass, obj->name, NS__ms_domain};
    status = NS__copy_qorobjid(server, &self);
  }
  if (status != NS_S_OK) {
    NS__free_rpcbinding(binding);
    binding->len = 0;
    binding->val = nullptr;
    qor_free(server->name);
    qor_free(server->domain);
    server->name = nullptr;
    server->domain = nullptr;
  }
  return status;
}

int gethost_server(nameobj* tab, qorobjid* obj, char** host) {
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  void* data = nullptr;
  status = NS__TabGet(static_cast<tabhandle*>(tab->priv), obj->name, &data);
  if (status == NS_S_OK) {
    *host = qor_strdup(static_cast<qor_serverinfo*>(data)->host);
    if (*host == nullptr) status = NS_S_NOMEM;
  }
  status = NS__putil_unlock(status);
  if (status != NS_S_OK) {
    qor_free(*host);
    *host = nullptr;
  }
  return status;
}

}  // namespace

int listobj_svassoc(nameobj* tab, qorobjid* /*obj*/, qorobjects* objs) {
  int status = NS__putil_rlock();
  if (status != NS_S_OK) return status;
  status = NS__putil_unlock(NS__putil_listobj(tab, objs));
  if (status != NS_S_OK) {
    NS__free_qorobjects(objs);
    objs->len = 0;
    objs->val = nullptr;
  }
  return status;
}

const nameobj_callback NS__server_cb = {init_server,      term_server,     createobj_server,
                                        deleteobj_server, listobj_svassoc, getobj_server,
                                        gethost_server,   nullptr};
