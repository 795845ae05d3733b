#include "registry/util_p.h"

#include <cerrno>
#include <cstring>

#include "platform/fileops.h"
#include "platform/mbstring.h"
#include "platform/memory.h"
#include "registry/rwlock_p.h"
#include "registry/status.h"
#include "registry/table.h"
#include "service/elog.h"
#include "service/qormain.h"

namespace {

tabhandle* table_of(nameobj* tab) { return static_cast<tabhandle*>(tab->priv); }

// A record in a table is one heap block: its members, then the block.
void release_ent(const putil_callback* funcs, void* ent) {
  if (ent == nullptr) return;
  funcs->freeent(ent);
  qor_free(ent);
}

struct listobjarg {
  qorobjects* objs;
  nameobj* tab;
};

int listobjectids_enum(tabhandle* /*ha*/, const char* key, void* /*data*/, void* priv) {
  auto* arg = static_cast<listobjarg*>(priv);
  qorobjid id{arg->tab->nsclass, const_cast<char*>(key), NS__ms_domain};
  int status = NS__copy_qorobjid(&arg->objs->val[arg->objs->len], &id);
  if (status != NS_S_OK) return status;
  // Counted only once whole, so that a failure releases exactly what was built.
  arg->objs->len++;
  return NS_S_OK;
}

struct saveobjarg {
  nameobj* tab;
  FILE* fp;
  const putil_callback* funcs;
};

int saveobj_enum(tabhandle* /*ha*/, const char* key, void* data, void* priv) {
  auto* arg = static_cast<saveobjarg*>(priv);
  int failed = qor_fputparts(arg->fp, {"# ", NS__ms_domain, "\\", key, "(", arg->tab->name, ")\n",
                                       key, "\n", NS__ms_domain, "\n"});
  int status = arg->funcs->writeent(arg->fp, data);
  if (status != NS_S_OK) return status;
  failed |= qor_fputparts(arg->fp, {"\n"});
  return failed != 0 || ferror(arg->fp) ? NS_S_SYSFAIL : NS_S_OK;
}

}  // namespace

int NS__putil_rlock() {
  int status = NS__LKRlock(NS__objlock);
  if (status != NS_S_OK) NS__qor_stop();
  return status;
}

int NS__putil_wlock() {
  int status = NS__LKWlock(NS__objlock);
  if (status != NS_S_OK) NS__qor_stop();
  return status;
}

int NS__putil_unlock(int status) {
  int unlocked = NS__LKUnlock(NS__objlock);
  if (unlocked == NS_S_OK) return status;
  NS__qor_stop();
  return unlocked;
}

int NS__putil_createobj(const putil_callback* funcs, nameobj* tab, const qorobjid* obj,
                        void* newent, int force, int* created) {
  *created = 0;
  tabhandle* ha = table_of(tab);
  void* backup = nullptr;
  bool replace = force != 0;

  if (!force) {
    void* current = nullptr;
    if (NS__TabGet(ha, obj->name, &current) == NS_S_OK) {
      int canov = 0;
      int status = funcs->checkov(newent, current, &canov);
      if (status != NS_S_OK) return status;
      if (!canov) return NS_S_EXISTS;
      replace = true;
    }
  }

  int status = NS__TabAdd(ha, obj->name, newent, replace ? &backup : nullptr);
  if (status != NS_S_OK) return status;

  status = NS__WriteObject(tab, NS__putil_saveobj, const_cast<putil_callback*>(funcs));
  if (status == NS_S_OK) {
    release_ent(funcs, backup);
    return NS_S_OK;
  }

  // The file still holds the previous state; make the table agree with it.
  if (backup == nullptr) {
    void* removed = nullptr;
    if (NS__TabDel(ha, obj->name, &removed) != NS_S_OK) {
      NS__Log_SS(NS_EVENT_WARNING, NS_EV_UNDO_ADD, obj->name, tab->name);
      *created = 1;
    }
  } else {
    void* back = nullptr;
    if (NS__TabAdd(ha, obj->name, backup, &back) == NS_S_OK) {
      backup = nullptr;  // the table owns the old record again
    } else {
      NS__Log_SS(NS_EVENT_WARNING, NS_EV_UNDO_REPLACE, obj->name, tab->name);
      *created = 1;
    }
  }
  release_ent(funcs, backup);
  return status;
}

int NS__putil_deleteobj(const putil_callback* funcs, nameobj* tab, const qorobjid* obj) {
  tabhandle* ha = table_of(tab);
  void* removed = nullptr;
  if (NS__TabDel(ha, obj->name, &removed) != NS_S_OK) return NS_S_NOENTRY;

  int status = NS__WriteObject(tab, NS__putil_saveobj, const_cast<putil_callback*>(funcs));
  if (status == NS_S_OK) {
    release_ent(funcs, removed);
    return NS_S_OK;
  }
  if (NS__TabAdd(ha, obj->name, removed, nullptr) != NS_S_OK) {
    // Gone from memory while the file still holds it, until the next rewrite.
    release_ent(funcs, removed);
    NS__Log_SS(NS_EVENT_WARNING, NS_EV_UNDO_REPLACE, obj->name, tab->name);
  }
  return status;
}

int NS__putil_listobj(nameobj* tab, qorobjects* objs) {
  objs->len = 0;
  objs->val = nullptr;
  tabhandle* ha = table_of(tab);
  int count = NS__TabGetNumberOfEntry(ha);
  if (count == 0) return NS_S_OK;

  objs->val = static_cast<qorobjid*>(qor_calloc(count, sizeof(qorobjid)));
  if (objs->val == nullptr) return NS_S_NOMEM;
  listobjarg arg{objs, tab};
  int status = NS__TabEnum(ha, listobjectids_enum, &arg);
  if (status != NS_S_OK) {
    if (objs->len == 0) qor_free(objs->val);  // free_qorobjects ignores a 0-length array
    NS__free_qorobjects(objs);
    objs->len = 0;
    objs->val = nullptr;
  }
  return status;
}

int NS__putil_saveobj(nameobj* obj, FILE* fp, void* priv) {
  saveobjarg arg{obj, fp, static_cast<const putil_callback*>(priv)};
  return NS__TabEnum(table_of(obj), saveobj_enum, &arg);
}

int NS__putil_recovery(const putil_callback* funcs, nameobj* tab) {
  errno = 0;
  FILE* fp = qor_fops.open(tab->datafile, "r");
  if (fp == nullptr) return errno == ENOENT ? NS_S_OK : NS_S_SYSFAIL;

  tabhandle* ha = table_of(tab);
  char* namebuf = nullptr;
  size_t namesize = 0;
  char* buf = nullptr;
  size_t size = 0;
  void* ent = nullptr;
  int status;

  for (;;) {
    status = NS__ReadLine(&namebuf, &namesize, fp);
    if (status == NS_S_EOF) {
      status = NS_S_OK;
      break;
    }
    if (status != NS_S_OK) break;
    // The domain line: every object of a file belongs to the own domain.
    status = NS__ReadLine(&buf, &size, fp);
    if (status == NS_S_EOF) status = NS_S_TRUNCATED;
    if (status != NS_S_OK) break;

    ent = qor_calloc(1, funcs->entsize);
    if (ent == nullptr) {
      status = NS_S_NOMEM;
      break;
    }
    status = funcs->readent(fp, &buf, &size, ent);
    if (status != NS_S_OK) break;

    status = NS__TabAdd(ha, namebuf, ent, nullptr);
    if (status == NS_S_EXISTS) {
      // The first entry of a name wins; a later one is reported and dropped.
      release_ent(funcs, ent);
      ent = nullptr;
      NS__Log_SS(NS_EVENT_WARNING, NS_EV_DUPLICATE, namebuf, tab->name);
      continue;
    }
    if (status != NS_S_OK) break;
    ent = nullptr;  // the table owns it
  }

  qor_fops.close(fp);
  if (ent != nullptr) {
    // readent leaves nothing to free on its own failure; a zeroed record
    // releases as nothing.
    release_ent(funcs, ent);
  }
  qor_free(buf);
  qor_free(namebuf);
  return status;
}

int NS__putil_init(const putil_callback* funcs, nameobj* tab, void (*freerec)(void*)) {
  tabhandle* ha = nullptr;
  int status = NS__TabInit(&ha, _mbscmp);
  if (status != NS_S_OK) return status;
  tab->priv = ha;
  status = NS__RecoverFile(tab);
  if (status == NS_S_OK) status = NS__putil_recovery(funcs, tab);
  if (status == NS_S_OK) return NS_S_OK;
  NS__TabTerm(ha, freerec);
  tab->priv = nullptr;
  return status;
}

void NS__putil_term(nameobj* tab, void (*freerec)(void*)) {
  if (tab->priv != nullptr) NS__TabTerm(static_cast<tabhandle*>(tab->priv), freerec);
  tab->priv = nullptr;
}
