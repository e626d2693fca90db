#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace morvane::storage {

// Storage for the nodes of one map: carved from chunks that double in size, so
// that building or dropping a map of many entries costs a few calls to the
// general allocator instead of one per entry, and its nodes sit together in
// memory. Freed nodes are reused; the chunks go back when the last node does.
// Not thread-safe, like the map that owns it.
class NodePool {
public:
    NodePool() = default;
    NodePool(const NodePool &) = delete;
    NodePool &operator=(const NodePool &) = delete;
    ~NodePool() { releaseChunks(); }

    // The pool serves the size of its first request; other sizes go to the
    // general allocator. allocate throws std::bad_alloc.
    void *allocate(size_t nodeBytes);
    void deallocate(void *node, size_t nodeBytes) noexcept;

private:
    struct FreeNode {
        FreeNode *next;
    };
    struct Chunk {
        Chunk *previous;
        size_t bytes;
    };
    // Chunk header rounded up so that nodes keep the strictest alignment.
    static constexpr size_t kHeaderBytes = (sizeof(Chunk) + alignof(std::max_align_t) - 1) /
                                           alignof(std::max_align_t) * alignof(std::max_align_t);
    static constexpr size_t kLargestChunkNodes = 1024;

    void releaseChunks() noexcept;

    FreeNode *freeNodes_ = nullptr;
    Chunk *chunks_ = nullptr;
    char *cursor_ = nullptr;
    char *chunkEnd_ = nullptr;
    size_t nodeBytes_ = 0;
    size_t nextChunkNodes_ = 1;
    size_t liveNodes_ = 0;
};

// Allocator of a map's nodes from the map's own NodePool. A copied map gets a
// new pool; a moved or swapped map takes its pool along. Requests for more than
// one object (which node-based maps never make) go to the general allocator.
template <typename T>
class PoolAllocator {
public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::false_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    // The pool is made on first use: empty maps and moved-from ones cost nothing.
    PoolAllocator() noexcept = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U> &other) noexcept : pool_(other.pool_) {}

    PoolAllocator select_on_container_copy_construction() const noexcept { return {}; }

    T *allocate(size_t count) {
        static_assert(sizeof(T) >= sizeof(void *) && alignof(T) <= alignof(std::max_align_t));
        if (count != 1) return std::allocator<T>().allocate(count);
        if (!pool_) pool_ = std::make_shared<NodePool>();
        return static_cast<T *>(pool_->allocate(sizeof(T)));
    }
    void deallocate(T *node, size_t count) noexcept {
        if (count != 1) return std::allocator<T>().deallocate(node, count);
        pool_->deallocate(node, sizeof(T));
    }

    template <typename U>
    bool operator==(const PoolAllocator<U> &other) const noexcept {
        return pool_ == other.pool_;
    }
    template <typename U>
    bool operator!=(const PoolAllocator<U> &other) const noexcept {
        return pool_ != other.pool_;
    }

private:
    template <typename U>
    friend class PoolAllocator;

    std::shared_ptr<NodePool> pool_;
};

}  // namespace morvane::storage
