#pragma once

#include <cstdint>

#include "storage/bitmap.hpp"

namespace morvane::python {

// Records that `bitmap` is about to change. Only bitmaps with a live Python
// iterator are tracked, so this costs one emptiness test otherwise.
void noteChange(const storage::Bitmap &bitmap);

// Held by a Python iterator for its whole life: tells whether the bitmap it
// walks changed since the watch began. Not copyable.
class ChangeWatch {
public:
    explicit ChangeWatch(const storage::Bitmap &bitmap);
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch &) = delete;
    ChangeWatch &operator=(const ChangeWatch &) = delete;

    bool changed() const;

private:
    const storage::Bitmap *bitmap;
    uint64_t startGeneration;
};

}  // namespace morvane::python
