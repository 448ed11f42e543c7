// An allocator whose containers leave new elements default-initialised when they grow
// without a value (`resize(n)`): for bytes and other trivial types that means not written
// at all. For buffers that are filled right after they are sized, such as a message about
// to be received or the output of a conversion, it saves the pass that would first zero
// tens of megabytes. Everything else behaves as with std::allocator.
#pragma once

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace quor {

template <class T, class Base = std::allocator<T>>
class DefaultInitAllocator : public Base {
    using Traits = std::allocator_traits<Base>;

public:
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U, typename Traits::template rebind_alloc<U>>;
    };

    using Base::Base;

    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        Traits::construct(static_cast<Base&>(*this), p, std::forward<Args>(args)...);
    }
};

// A vector whose growth is left unwritten, and the byte buffer made of one.
template <class T>
using UninitVector = std::vector<T, DefaultInitAllocator<T>>;
using ByteBuffer = UninitVector<unsigned char>;

}  // namespace quor
