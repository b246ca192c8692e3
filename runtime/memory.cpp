// Working memory from the kernel, in large pages where possible.
#include "memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace quilvor {

namespace {
constexpr std::size_t largePage = std::size_t{2} << 20;
}

void* map_memory(std::size_t bytes, std::size_t& mapped) {
    mapped = 0;
    if (bytes == 0) bytes = 1;
    if (bytes < largePage) {
        void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return nullptr;
        mapped = (bytes + 4095) & ~std::size_t{4095};
        return p;
    }
    // A large-page-aligned region: map one large page more and trim both ends.
    const std::size_t size = (bytes + largePage - 1) & ~(largePage - 1);
    if (size < bytes) return nullptr;
    void* raw = ::mmap(nullptr, size + largePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + largePage - 1) & ~(uintptr_t{largePage} - 1);
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = start + size + largePage;
    if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    void* p = reinterpret_cast<void*>(aligned);
    ::madvise(p, size, MADV_HUGEPAGE);
    mapped = size;
    return p;
}

void unmap_memory(void* p, std::size_t mapped) {
    if (p != nullptr) ::munmap(p, mapped);
}

}  // namespace quilvor
