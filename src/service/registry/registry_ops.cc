#include "service/registry/registry_ops.h"

int RegistryAdd(CKelList& list, CKelRecord* record, CKelMatch duplicate, int locked) {
  if (!locked) list.Lock();
  int result = -1;
  if (list.Find(record, duplicate, 1) == nullptr) {
    try {
      list.AddTail(record, 1);
      result = 0;
    } catch (const char*) {
      // No node could be made: the record stays the caller's.
    }
  }
  if (!locked) list.Unlock();
  return result;
}

void RegistryMarkDeleted(CKelList& list, const CKelRecord& key, CKelMatch match, int locked) {
  if (!locked) list.Lock();
  // One walk marks each accepted entry once, even for a match that does not skip marked ones.
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    if (match(node->data, &key)) node->data->pendingDelete = 1;
  }
  if (!locked) list.Unlock();
}

void RegistryMarkAll(CKelList& list, int32_t flag, int locked) {
  if (!locked) list.Lock();
  for (CKelNode* node = list.GetHead(1); node != nullptr; node = list.GetNext(node, 1)) {
    node->data->pendingDelete = flag;
  }
  if (!locked) list.Unlock();
}
