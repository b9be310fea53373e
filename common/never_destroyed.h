// A process-wide object that detached threads use until the process ends:
// it is built on first use and never destroyed, so no thread can find it torn
// down while the process exits.
#pragma once

#include <new>
#include <utility>

template <typename T>
class never_destroyed {
public:
    template <typename... Args>
    explicit never_destroyed(Args&&... args)
    {
        ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
    }
    T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};
