// The Arrow C data interface, written from the Arrow format documentation:
// its two ABI structures, and an owner of an imported record batch that
// releases it through its callbacks.
#pragma once

#include <cstdint>
#include <utility>

namespace vornik {

extern "C" {

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

}  // extern "C"

// An imported record batch: a struct-typed schema and array, moved in from
// their producer and released through their callbacks when the owner dies.
class ArrowBatch {
 public:
  // Asked before the callbacks run: false where the producer's runtime is
  // gone (a thread ended under the call as its process exits), and the
  // batch is left to the exit.
  using ReleaseGate = bool (*)();

  ArrowBatch() = default;
  // Takes over both structures; the sources are marked released.
  ArrowBatch(ArrowSchema* schema, ArrowArray* array, ReleaseGate gate = nullptr)
      : schema_(*schema), array_(*array), gate_(gate) {
    schema->release = nullptr;
    array->release = nullptr;
  }
  ArrowBatch(ArrowBatch&& o) noexcept : schema_(o.schema_), array_(o.array_), gate_(o.gate_) {
    o.schema_.release = nullptr;
    o.array_.release = nullptr;
  }
  ArrowBatch& operator=(ArrowBatch&& o) noexcept {
    if (this != &o) {
      reset();
      schema_ = o.schema_;
      array_ = o.array_;
      gate_ = o.gate_;
      o.schema_.release = nullptr;
      o.array_.release = nullptr;
    }
    return *this;
  }
  ArrowBatch(const ArrowBatch&) = delete;
  ArrowBatch& operator=(const ArrowBatch&) = delete;
  ~ArrowBatch() { reset(); }

  const ArrowSchema& schema() const { return schema_; }
  const ArrowArray& array() const { return array_; }

 private:
  void reset() {
    if (gate_ == nullptr || gate_()) {
      if (array_.release != nullptr) array_.release(&array_);
      if (schema_.release != nullptr) schema_.release(&schema_);
    }
    array_.release = nullptr;
    schema_.release = nullptr;
  }
  ArrowSchema schema_{};
  ArrowArray array_{};
  ReleaseGate gate_ = nullptr;
};

}  // namespace vornik
