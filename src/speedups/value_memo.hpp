// The objects one trace has written in full, so that it can refer to those dumps instead of
// writing the same objects again at every call and return: vexo.serialize.ValueMemo, compiled.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "py/ref.hpp"

namespace vexo::speedups {

// An object the trace has written, by its address and type; its dump differs with its depth and
// its limits.
struct MemoKey {
  const PyObject* object;
  const PyTypeObject* type;
  Py_ssize_t depth;
  bool is_self;

  bool operator==(const MemoKey&) const = default;
};

struct MemoKeyHash {
  std::size_t operator()(const MemoKey& key) const noexcept {
    return std::hash<const void*>()(key.object) ^ (static_cast<std::size_t>(key.depth) << 1) ^
           (key.is_self ? 1 : 0);
  }
};

class ValueMemo {
 public:
  explicit ValueMemo(std::size_t capacity) : capacity_(capacity) {}

  // The reference written in place of the object, while what it shows (its digest) is the same.
  // Nothing of the object itself is held (a weak reference would show in its __weakref__), so an
  // object born at the address of a dead one of the same class, showing exactly the same, is
  // taken for it: its dump would be the same bytes.
  std::optional<std::span<const std::uint8_t>> reference(const MemoKey& key,
                                                         std::uint64_t digest) const;
  // Remembers the object as written at that place; nothing is remembered once the memo is full.
  void remember(const MemoKey& key, std::uint64_t digest, std::string reference);
  void forget(const MemoKey& key) { entries_.erase(key); }

 private:
  struct Entry {
    std::uint64_t digest;
    std::string reference;  // the whole MessagePack ext value
  };
  std::size_t capacity_;
  std::unordered_map<MemoKey, Entry, MemoKeyHash> entries_;
};

// The ValueMemo type of vexo._speedups, made once at import; its instances hold a ValueMemo.
PyTypeObject* value_memo_type();
// The instance's memo; throws TypeError for any other object.
ValueMemo& value_memo_of(PyObject* object);

}  // namespace vexo::speedups
