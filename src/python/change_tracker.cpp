#include "python/change_tracker.hpp"

#include <unordered_map>

namespace morvane::python {

namespace {

struct WatchState {
    uint64_t generation = 0;
    size_t watchers = 0;
};

// Keyed by address: a watched bitmap is kept alive by its iterator, so the
// address cannot be reused while a watch exists. Never destroyed, so that
// iterators freed during interpreter shutdown still find it.
std::unordered_map<const storage::Bitmap *, WatchState> &watched() {
    static auto *states = new std::unordered_map<const storage::Bitmap *, WatchState>();
    return *states;
}

}  // namespace

void noteChange(const storage::Bitmap &bitmap) {
    auto &states = watched();
    if (states.empty()) return;
    auto it = states.find(&bitmap);
    if (it != states.end()) ++it->second.generation;
}

ChangeWatch::ChangeWatch(const storage::Bitmap &bitmap) : bitmap(&bitmap) {
    WatchState &state = watched()[&bitmap];
    ++state.watchers;
    startGeneration = state.generation;
}

ChangeWatch::~ChangeWatch() {
    auto &states = watched();
    auto it = states.find(bitmap);
    if (--it->second.watchers == 0) states.erase(it);
}

bool ChangeWatch::changed() const { return watched().at(bitmap).generation != startGeneration; }

}  // namespace morvane::python
