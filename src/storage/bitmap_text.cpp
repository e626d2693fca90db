#include "storage/bitmap.hpp"

namespace morvane::storage {

std::string Bitmap::toString() const {
    std::string text;
    for (const auto &[key, slot] : slots) {
        text += "h: " + std::to_string(key) + " " + slot.toString() + "\n";
    }
    return text;
}

}  // namespace morvane::storage
