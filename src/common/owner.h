// owner.h - the one owner idiom for C resources: a unique_ptr whose deleter is
// the resource's own free function, so that every way out releases it.
//
//   owner<FILE, fclose> f(fopen(...));      owner<BIO, BIO_free> b(...);
//
// The free function is called once, only for a non-null pointer; its result
// is ignored (a failed close has nothing left to tell a release path).
// Records that need more than one call to release keep a small struct with a
// destructor; Windows handles use win32/handle.h.
#pragma once

#include <memory>

template <auto Free> struct free_with {
    template <class T> void operator()(T* p) const {
        if (p) Free(p);
    }
};

template <class T, auto Free> using owner = std::unique_ptr<T, free_with<Free>>;
