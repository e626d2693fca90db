// Programs of changing calls in which one allocation of a call fails: the n-th
// one, counting CRoaring's hook and the C++ heap together, n from the input.
// A failed call that promises the strong guarantee leaves the serialized form
// byte-identical; failed in-place algebra leaves a valid set; a call that
// succeeds, or refuses with its own message, does what the unfailed call does.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include <roaring.h>

#include "storage/bitmap.hpp"

using morvane::storage::Bitmap;

namespace {

long allocations = 0;
long failAt = 0;  // 0: nothing fails

bool failNow() { return failAt != 0 && ++allocations == failAt; }

void *allocate(size_t size) {
    if (failNow()) throw std::bad_alloc();
    void *memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void installCountingRoaringHook() {
    roaring_init_memory_hook({
        [](size_t size) { return allocate(size); },
        [](void *memory, size_t size) -> void * {
            if (failNow()) throw std::bad_alloc();
            void *moved = std::realloc(memory, size == 0 ? 1 : size);
            if (moved == nullptr) throw std::bad_alloc();
            return moved;
        },
        [](size_t count, size_t size) -> void * {
            if (failNow()) throw std::bad_alloc();
            void *memory = std::calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
            if (memory == nullptr) throw std::bad_alloc();
            return memory;
        },
        std::free,
        [](size_t alignment, size_t size) -> void * {
            if (failNow()) throw std::bad_alloc();
            void *memory = nullptr;
            if (posix_memalign(&memory, alignment, size == 0 ? 1 : size) != 0) throw std::bad_alloc();
            return memory;
        },
        std::free,
    });
}

void check(bool condition) {
    if (!condition) std::abort();
}

std::string imageOf(const Bitmap &bitmap) {
    std::string image(bitmap.persistedSize(true), '\0');
    bitmap.write(image.data(), true);
    return image;
}

// Positions near key boundaries and container edges, under four keys.
class Program {
public:
    Program(const uint8_t *data, size_t size) : data(data), size(size) {}
    bool done() const { return at >= size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint64_t position() {
        const uint64_t key = byte() % 4;
        return (key << 32) + (uint64_t{byte()} << 12) + byte();
    }
    uint64_t span() { return (uint64_t{byte()} + 1) << (byte() % 26); }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

enum class Guarantee { Strong, Basic };

struct Outcome {
    enum Kind { Done, Refused, OutOfMemory } kind = Done;
    std::string message;
};

// Runs `call` with allocation `failing` failing (0: none); disarmed before
// the harness allocates anything of its own.
template <typename Call>
Outcome run(Call &&call, long failing) {
    allocations = 0;
    failAt = failing;
    try {
        call();
    } catch (const std::bad_alloc &) {
        failAt = 0;
        return {Outcome::OutOfMemory, {}};
    } catch (const std::exception &error) {
        failAt = 0;
        return {Outcome::Refused, error.what()};
    }
    failAt = 0;
    return {};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    installCountingRoaringHook();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Program program(data, size);
    Bitmap bitmap, other;
    other.addRange(uint64_t{1} << 32, (uint64_t{1} << 32) + 70000);
    for (int step = 0; step < 24 && !program.done(); ++step) {
        const uint8_t op = program.byte() % 15;
        const long failing = program.byte() % 64;
        const uint64_t p = program.position();
        const uint64_t span = program.span();
        const uint64_t by = program.byte() % 2 ? span : program.byte();
        Guarantee guarantee = Guarantee::Strong;
        Bitmap sliced;
        auto call = [&](Bitmap &b) {
            switch (op) {
                case 0: b.add(p); break;
                case 1: b.remove(p); break;
                case 2: b.flip(p); break;
                case 3: b.addRange(p, p + span); break;
                case 4: b.removeRange(p, p + span); break;
                case 5: b.flip(p, p + span); break;
                case 6: b.expand(p, by); break;
                case 7: b.contract(p, by); break;
                case 8: sliced = b.slice(p, p + span); break;
                case 9: b |= other; break;
                case 10: b &= other; break;
                case 11: b -= other; break;
                case 12: b ^= other; break;
                default: other.add(p); break;  // the operand changes too
            }
        };
        if (op >= 9 && op <= 12) guarantee = Guarantee::Basic;

        const std::string before = imageOf(bitmap);
        Bitmap expected = bitmap;
        const Outcome unfailed = run([&] { call(expected); }, 0);
        check(unfailed.kind != Outcome::OutOfMemory);
        const std::string expectedImage = imageOf(expected);
        const std::string expectedSlice = op == 8 ? imageOf(sliced) : std::string();

        const Outcome outcome = run([&] { call(bitmap); }, failing);

        if (outcome.kind == Outcome::OutOfMemory) {
            if (guarantee == Guarantee::Strong) {
                check(imageOf(bitmap) == before);
            } else {
                // Valid: it reads back as itself; then the program goes on from the unfailed state.
                const std::string image = imageOf(bitmap);
                check(imageOf(Bitmap::read(image.data(), image.size(), true)) == image);
                bitmap = expected;
            }
            continue;
        }
        check(outcome.kind == unfailed.kind && outcome.message == unfailed.message);
        check(imageOf(bitmap) == expectedImage);
        if (op == 8 && outcome.kind == Outcome::Done) check(imageOf(sliced) == expectedSlice);
    }
    return 0;
}

// The C++ heap, counted with CRoaring's allocations while a call is armed.
void *operator new(size_t size) { return allocate(size); }
void *operator new[](size_t size) { return allocate(size); }
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete[](void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, size_t) noexcept { std::free(memory); }
void operator delete[](void *memory, size_t) noexcept { std::free(memory); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return std::malloc(size == 0 ? 1 : size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void *memory, const std::nothrow_t &) noexcept { std::free(memory); }
void operator delete[](void *memory, const std::nothrow_t &) noexcept { std::free(memory); }
