#include "registry/table.h"

#include <climits>
#include <cstring>

#include "platform/memory.h"
#include "registry/status.h"

namespace {

constexpr int32_t kGrowSlots = 16;

// Bisection: 0 with the slot in *slot, or 15.
int search(const tabhandle_t* ha, const char* key, int32_t* slot) {
  int32_t lo = 0;
  int32_t hi = ha->cnt - 1;
  while (lo <= hi) {
    int32_t mid = lo + (hi - lo) / 2;
    int c = ha->cmpfunc(ha->tab[mid].key, key);
    if (c == 0) {
      *slot = mid;
      return NS_S_OK;
    }
    if (c > 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return NS_S_NOENTRY;
}

}  // namespace

int NS__TabInit(tabhandle_t** handle, tabCmpFunc_t cmpfunc) {
  auto* ha = static_cast<tabhandle_t*>(qor_malloc(sizeof(tabhandle_t)));
  if (ha == nullptr) return NS_S_NOMEM;
  ha->tab = nullptr;
  ha->size = 0;
  ha->cnt = 0;
  ha->cmpfunc = cmpfunc;
  *handle = ha;
  return NS_S_OK;
}

void NS__TabTerm(tabhandle_t* ha, tabFreeFunc_t freefunc) {
  if (ha == nullptr) return;
  for (int32_t i = 0; i < ha->cnt; ++i) {
    if (freefunc != nullptr && ha->tab[i].data != nullptr) freefunc(ha->tab[i].data);
    qor_free(ha->tab[i].key);
  }
  qor_free(ha->tab);
  qor_free(ha);
}

int NS__TabAdd(tabhandle_t* ha, const char* key, void* data, void** olddata) {
  // The bisection of `search`, keeping where it stopped: the new key goes
  // before the last slot looked at if that slot sorts after it, else behind.
  int32_t lo = 0;
  int32_t hi = ha->cnt - 1;
  int32_t mid = 0;
  int c = 1;
  while (lo <= hi) {
    mid = lo + (hi - lo) / 2;
    c = ha->cmpfunc(ha->tab[mid].key, key);
    if (c == 0) {
      if (olddata == nullptr) return NS_S_EXISTS;
      *olddata = ha->tab[mid].data;
      ha->tab[mid].data = data;
      return NS_S_OK;
    }
    if (c > 0) {
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }

  char* copy = qor_strdup(key);
  if (copy == nullptr) return NS_S_NOMEM;
  if (ha->cnt == ha->size) {
    if (ha->size > INT32_MAX - kGrowSlots) {
      qor_free(copy);
      return NS_S_NOMEM;
    }
    // realloc keeps the old slots intact on failure, and grows in place when it
    // can: copying the whole array on every growth makes a bulk load quadratic.
    size_t bytes = static_cast<size_t>(ha->size + kGrowSlots) * sizeof(tabentry);
    auto* grown = static_cast<tabentry*>(qor_realloc(ha->tab, bytes));
    if (grown == nullptr) {
      qor_free(copy);
      return NS_S_NOMEM;
    }
    ha->tab = grown;
    ha->size += kGrowSlots;
  }
  int32_t at = c < 0 ? mid + 1 : mid;
  std::memmove(&ha->tab[at + 1], &ha->tab[at],
               static_cast<size_t>(ha->cnt - at) * sizeof(tabentry));
  ha->tab[at].key = copy;
  ha->tab[at].data = data;
  ha->cnt++;
  return NS_S_OK;
}

int NS__TabGet(tabhandle_t* ha, const char* key, void** data) {
  int32_t slot;
  int rc = search(ha, key, &slot);
  if (rc != NS_S_OK) return rc;
  *data = ha->tab[slot].data;
  return NS_S_OK;
}

int NS__TabDel(tabhandle_t* ha, const char* key, void** data) {
  int32_t slot;
  int rc = search(ha, key, &slot);
  if (rc != NS_S_OK) return rc;
  *data = ha->tab[slot].data;
  qor_free(ha->tab[slot].key);
  ha->cnt--;
  std::memmove(&ha->tab[slot], &ha->tab[slot + 1],
               static_cast<size_t>(ha->cnt - slot) * sizeof(tabentry));
  return NS_S_OK;
}

int NS__TabEnum(tabhandle_t* ha, tabEnumFunc_t enumfunc, void* priv) {
  int32_t end = ha->cnt;
  for (int32_t i = 0; i < end; ++i) {
    int rc = enumfunc(ha, ha->tab[i].key, ha->tab[i].data, priv);
    if (rc != 0) return rc;
  }
  return NS_S_OK;
}

int NS__TabGetNumberOfEntry(tabhandle_t* ha) { return ha->cnt; }

int NS__TabConvKeyList(tabhandle_t* ha, tabkeylist_t* list, tabFreeFunc_t freefunc) {
  if (ha->cnt == 0) {
    list->len = 0;
    list->val = nullptr;
    qor_free(ha->tab);
    qor_free(ha);
    return NS_S_OK;
  }
  auto* val = static_cast<char**>(qor_calloc(static_cast<size_t>(ha->cnt), sizeof(char*)));
  if (val == nullptr) return NS_S_NOMEM;
  for (int32_t i = 0; i < ha->cnt; ++i) {
    val[i] = ha->tab[i].key;  // handed over, not copied
    if (freefunc != nullptr && ha->tab[i].data != nullptr) freefunc(ha->tab[i].data);
  }
  list->len = static_cast<uint32_t>(ha->cnt);
  list->val = val;
  qor_free(ha->tab);
  qor_free(ha);
  return NS_S_OK;
}
