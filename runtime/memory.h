// Reusable working memory that is never value-initialised.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

#include "run_state.h"

namespace quilvor {

// Raw memory straight from the kernel: zero pages, mapped on first touch,
// in large pages where the kernel allows it (a page fault is costly, and one
// large page replaces 512 small ones). nullptr when the memory cannot be had.
void* map_memory(std::size_t bytes, std::size_t& mapped);
void unmap_memory(void* p, std::size_t mapped);

// A buffer of trivially copyable T that keeps its memory for the next file:
// it grows when a larger size is asked for (its content then undefined) and is
// never filled by itself; what is about to be overwritten is not cleared first.
template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept { swap(o); }
    Buffer& operator=(Buffer&& o) noexcept {
        Buffer(std::move(o)).swap(*this);
        return *this;
    }
    ~Buffer() { unmap_memory(p_, mapped_); }

    // Room for n elements, or false.
    bool resize(std::size_t n) {
        if (n > capacity_) {
            unmap_memory(p_, mapped_);
            p_ = nullptr;
            mapped_ = capacity_ = size_ = 0;
            void* p = map_memory(n * sizeof(T), mapped_);
            if (p == nullptr) return false;
            p_ = static_cast<T*>(p);
            capacity_ = mapped_ / sizeof(T);
        }
        size_ = n;
        return true;
    }
    // Room for n elements, all zero: memory that comes fresh from the kernel
    // already is, memory kept from before is cleared.
    bool resize_zeroed(std::size_t n) {
        const bool fresh = n > capacity_;
        if (!resize(n)) return false;
        if (!fresh && n > 0) std::memset(static_cast<void*>(p_), 0, n * sizeof(T));
        return true;
    }
    // Room for n elements, or the run ends with the message (formatted with arg).
    void resize_or_fail(std::size_t n, const char* message, const char* arg = "") {
        if (!resize(n)) fail_because(ENOMEM, "", message, arg);
    }

    T* data() { return p_; }
    const T* data() const { return p_; }
    T* get() { return p_; }
    const T* get() const { return p_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t k) { return p_[k]; }
    const T& operator[](std::size_t k) const { return p_[k]; }

private:
    void swap(Buffer& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(size_, o.size_);
        std::swap(capacity_, o.capacity_);
        std::swap(mapped_, o.mapped_);
    }
    T* p_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0, mapped_ = 0;
};

}  // namespace quilvor
