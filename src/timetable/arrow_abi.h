// The Arrow C data interface, written from the Arrow format documentation:
// the three ABI structures, and an owner of an imported record batch that
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

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

}  // extern "C"

// An imported record batch: a struct-typed schema and array, moved in from
// their producer and released through their callbacks when the owner dies.
class ArrowBatch {
 public:
  ArrowBatch() = default;
  // Takes over both structures; the sources are marked released.
  ArrowBatch(ArrowSchema* schema, ArrowArray* array) : schema_(*schema), array_(*array) {
    schema->release = nullptr;
    array->release = nullptr;
  }
  ArrowBatch(ArrowBatch&& o) noexcept : schema_(o.schema_), array_(o.array_) {
    o.schema_.release = nullptr;
    o.array_.release = nullptr;
  }
  ArrowBatch& operator=(ArrowBatch&& o) noexcept {
    if (this != &o) {
      reset();
      schema_ = o.schema_;
      array_ = o.array_;
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
    if (array_.release != nullptr) array_.release(&array_);
    if (schema_.release != nullptr) schema_.release(&schema_);
    array_.release = nullptr;
    schema_.release = nullptr;
  }
  ArrowSchema schema_{};
  ArrowArray array_{};
};

}  // namespace vornik
