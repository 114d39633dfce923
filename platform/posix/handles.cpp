// The handle table: every HANDLE the layer gives out is a small, never reused number naming an Object.
// Never reusing a number means a stale handle (closed, then used again) fails with ERROR_INVALID_HANDLE
// instead of reaching whatever object was opened next.
#include "handles.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace w32sim {
namespace {

struct Table {
  std::mutex mutex;
  std::map<uintptr_t, std::shared_ptr<Object>> objects;
  uintptr_t next = 0x1000;  // multiples of 4, like Win32 kernel handles; never null or all ones
};

Table& TheTable() {
  static Table* table = new Table;  // never destroyed: handles may be closed from static destructors
  return *table;
}

}  // namespace

HANDLE RegisterObject(std::shared_ptr<Object> object) {
  if (!object) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  uintptr_t key = t.next;
  t.next += 4;
  t.objects.emplace(key, std::move(object));
  return reinterpret_cast<HANDLE>(key);
}

std::shared_ptr<Object> LookupObject(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return nullptr;
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.objects.end() ? nullptr : it->second;
}

BOOL CloseObject(HANDLE handle) {
  std::shared_ptr<Object> object;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != t.objects.end()) {
      object = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Outside the table lock: closing may block (a thread handle) or look other handles up.
  return object->Close();
}

}  // namespace w32sim
