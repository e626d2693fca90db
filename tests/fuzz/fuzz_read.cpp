// Bitmap::read on arbitrary bytes, in both formats; whatever reads must write
// and read back to the same set.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

#include "storage/bitmap.hpp"

using morvane::storage::Bitmap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool portable = data[0] & 1;
    // An exactly sized copy, so that any read past the input is caught.
    std::vector<char> input(data + 1, data + size);
    Bitmap bitmap;
    try {
        bitmap = Bitmap::read(input.data(), input.size(), portable);
    } catch (const std::exception &) {
        return 0;
    }
    std::vector<char> frame(bitmap.persistedSize(portable, true, true));
    bitmap.write(frame.data(), portable);
    if (!(Bitmap::read(frame.data(), frame.size(), portable) == bitmap)) std::abort();
    return 0;
}
