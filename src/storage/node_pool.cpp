#include "storage/node_pool.hpp"

#include <algorithm>
#include <new>

// Under the address sanitizer, free nodes and the unused end of a chunk are
// poisoned, so that a use after free inside the pool is still reported.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define MORVANE_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define MORVANE_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define MORVANE_POISON(address, bytes) ((void)(address), (void)(bytes))
#define MORVANE_UNPOISON(address, bytes) ((void)(address), (void)(bytes))
#endif

namespace morvane::storage {

void *NodePool::allocate(size_t nodeBytes) {
    if (nodeBytes_ == 0) nodeBytes_ = nodeBytes;
    if (nodeBytes != nodeBytes_) return ::operator new(nodeBytes);
    if (freeNodes_ != nullptr) {
        FreeNode *node = freeNodes_;
        MORVANE_UNPOISON(node, nodeBytes);
        freeNodes_ = node->next;
        ++liveNodes_;
        return node;
    }
    if (cursor_ == chunkEnd_) {
        const size_t nodes = nextChunkNodes_;
        const size_t bytes = kHeaderBytes + nodes * nodeBytes;
        auto *chunk = static_cast<Chunk *>(::operator new(bytes));
        chunk->previous = chunks_;
        chunk->bytes = bytes;
        chunks_ = chunk;
        cursor_ = reinterpret_cast<char *>(chunk) + kHeaderBytes;
        chunkEnd_ = cursor_ + nodes * nodeBytes;
        MORVANE_POISON(cursor_, nodes * nodeBytes);
        nextChunkNodes_ = std::min(nodes * 2, kLargestChunkNodes);
    }
    void *node = cursor_;
    MORVANE_UNPOISON(node, nodeBytes);
    cursor_ += nodeBytes;
    ++liveNodes_;
    return node;
}

void NodePool::deallocate(void *node, size_t nodeBytes) noexcept {
    if (nodeBytes != nodeBytes_) return ::operator delete(node);
    if (--liveNodes_ == 0) {
        // An emptied map gives its memory back rather than keeping its peak.
        releaseChunks();
        return;
    }
    auto *freed = static_cast<FreeNode *>(node);
    freed->next = freeNodes_;
    freeNodes_ = freed;
    MORVANE_POISON(freed, nodeBytes);
}

void NodePool::releaseChunks() noexcept {
    while (chunks_ != nullptr) {
        Chunk *previous = chunks_->previous;
        MORVANE_UNPOISON(chunks_, chunks_->bytes);
        ::operator delete(chunks_);
        chunks_ = previous;
    }
    freeNodes_ = nullptr;
    cursor_ = chunkEnd_ = nullptr;
    nextChunkNodes_ = 1;
}

}  // namespace morvane::storage
