#pragma once

// Storage for the found list's big arrays and byte stores, which grow to hundreds of MiB on a
// mail-dense disk: a block of LargeBlockBytes or more is handed to the system with the hint that
// it may be backed by large pages. The bytes, their lifetime and the containers' behaviour are
// those of the default allocator.

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <vector>

inline constexpr std::size_t LargeBlockBytes = std::size_t{4} << 20;
// Large blocks start at this alignment, the size of the system's large pages, so that none of
// their first bytes stays on small pages.
inline constexpr std::align_val_t LargePageAlignment{std::size_t{2} << 20};

// Passes a fresh block of LargeBlockBytes or more to the system layer's large-page hint.
void AdviseLargeBlock(void* Start, std::size_t Size) noexcept;

template <class T> struct TLargeAllocator {
    static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    using value_type = T;

    TLargeAllocator() noexcept = default;
    template <class U> TLargeAllocator(const TLargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t Count) {
        if (Count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t size = Count * sizeof(T);
        if (size < LargeBlockBytes) return static_cast<T*>(::operator new(size));
        void* block = ::operator new(size, LargePageAlignment);
        AdviseLargeBlock(block, size);
        return static_cast<T*>(block);
    }
    void deallocate(T* Block, std::size_t Count) noexcept {
        if (Count * sizeof(T) < LargeBlockBytes)
            ::operator delete(Block);
        else
            ::operator delete(Block, LargePageAlignment);
    }

    template <class U> bool operator==(const TLargeAllocator<U>&) const noexcept { return true; }
    template <class U> bool operator!=(const TLargeAllocator<U>&) const noexcept { return false; }
};

template <class T> using TLargeVector = std::vector<T, TLargeAllocator<T>>;
using TLargeString = std::basic_string<char, std::char_traits<char>, TLargeAllocator<char>>;
