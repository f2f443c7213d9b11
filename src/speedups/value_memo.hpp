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

  // The reference written in place of `object`, while it is the object written there (a weak
  // reference tells, for an object that has a number: see identity()) and what it shows (its
  // digest) is the same. An object without a number is known by its address alone: one born at
  // the address of a dead one of the same class, showing exactly the same, is taken for it; its
  // dump would be the same bytes.
  std::optional<std::span<const std::uint8_t>> reference(const MemoKey& key, std::uint64_t digest,
                                                         PyObject* object) const;
  // Remembers the object as written at that place, with the weak reference to it if it has a
  // number; nothing is remembered once the memo is full.
  void remember(const MemoKey& key, std::uint64_t digest, std::string reference, py::Ref weak);
  void forget(const MemoKey& key) { entries_.erase(key); }

  // The number the trace gives an object, the same wherever it appears for as long as it lives,
  // and a weak reference to it, which tells whether the object at an address is still the one
  // numbered. None for an object whose type takes no weak references, or once the memo holds its
  // capacity of them.
  struct Identity {
    std::uint64_t number;
    py::Ref weak;
  };
  std::optional<Identity> identity(PyObject* object);

 private:
  struct Entry {
    std::uint64_t digest;
    std::string reference;  // the whole MessagePack ext value
    py::Ref weak;           // to the object written, if it has a number
  };
  std::size_t capacity_;
  std::unordered_map<MemoKey, Entry, MemoKeyHash> entries_;
  std::unordered_map<const PyObject*, Identity> identities_;
  std::uint64_t last_number_ = 0;
};

// The ValueMemo type of vexo._speedups, made once at import; its instances hold a ValueMemo.
PyTypeObject* value_memo_type();
// The instance's memo; throws TypeError for any other object.
ValueMemo& value_memo_of(PyObject* object);

}  // namespace vexo::speedups
