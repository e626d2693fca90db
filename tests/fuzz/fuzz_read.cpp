// Bitmap::read on arbitrary bytes, in both of our forms, and readPortable64 in
// the standard 64-bit form; whatever reads must write and read back to the
// same set.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <vector>

#include "storage/bitmap.hpp"

using morvane::storage::Bitmap;

namespace {

void checkPortable64(const std::vector<char> &input) {
    Bitmap bitmap;
    try {
        bitmap = Bitmap::readPortable64(input.data(), input.size());
    } catch (const std::exception &) {
        return;
    }
    std::vector<char> bytes(bitmap.portable64Size());
    if (bitmap.writePortable64(bytes.data()) != bytes.data() + bytes.size()) std::abort();
    const Bitmap back = Bitmap::readPortable64(bytes.data(), bytes.size());
    std::vector<char> again(back.portable64Size());
    back.writePortable64(again.data());
    if (!(back == bitmap) || again != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // An exactly sized copy, so that any read past the input is caught.
    std::vector<char> input(data + 1, data + size);
    if (data[0] & 2) {
        checkPortable64(input);
        return 0;
    }
    const bool portable = data[0] & 1;
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
