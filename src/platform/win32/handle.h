// handle.h - Windows: one small move-only owner for system handles.
//
// Windows handle APIs disagree on their invalid value (CreateFileA,
// CreateMailslotA and FindFirstFileA give INVALID_HANDLE_VALUE, the others
// null) and on their close call, so each kind of handle names both in a
// traits record. Every handle the back end holds goes through one of these.
// Closing keeps the thread's last error, so that a failure path can release
// what it holds and still report the error of the call that failed.
// Included only by src/platform/win32/.
#pragma once

#include <windows.h>

namespace win32 {

// One out-of-line close per close call, rather than the error's save and
// restore written out at every place a handle goes out of scope.
template <class T, auto Close> __attribute__((noinline)) void close_keeping_error(T h) {
    DWORD saved = GetLastError();
    Close(h);
    SetLastError(saved);
}

template <class Traits> class unique_handle {
  public:
    using value_type = typename Traits::value_type;

    unique_handle() : h_(Traits::invalid()) {}
    explicit unique_handle(value_type h) : h_(h) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    unique_handle(unique_handle&& other) noexcept : h_(other.release()) {}
    unique_handle& operator=(unique_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_handle() { reset(); }

    value_type get() const { return h_; }
    bool valid() const { return h_ != Traits::invalid(); }
    explicit operator bool() const { return valid(); }

    // Gives up ownership without closing.
    value_type release() {
        value_type h = h_;
        h_ = Traits::invalid();
        return h;
    }
    // Closes the owned handle (if any) and takes h.
    void reset(value_type h = Traits::invalid()) {
        if (valid()) close_keeping_error<value_type, Traits::close_call>(h_);
        h_ = h;
    }

  private:
    value_type h_;
};

// Handles whose failure value is null: threads, events, file mappings.
struct kernel_handle_traits {
    using value_type = HANDLE;
    static HANDLE invalid() { return nullptr; }
    static constexpr auto close_call = CloseHandle;
};

// Handles whose failure value is INVALID_HANDLE_VALUE: files, mailslots.
struct file_handle_traits {
    using value_type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static constexpr auto close_call = CloseHandle;
};

struct view_traits {
    using value_type = void*;
    static void* invalid() { return nullptr; }
    static constexpr auto close_call = UnmapViewOfFile;
};

struct module_traits {
    using value_type = HMODULE;
    static HMODULE invalid() { return nullptr; }
    static constexpr auto close_call = FreeLibrary;
};

// Folder listings of FindFirstFileA.
struct find_handle_traits {
    using value_type = HANDLE;
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
    static constexpr auto close_call = FindClose;
};

// Opened registry keys (RegOpenKeyExA).
struct registry_key_traits {
    using value_type = HKEY;
    static HKEY invalid() { return nullptr; }
    static constexpr auto close_call = RegCloseKey;
};

// Memory the system allocated for the caller (FormatMessageA's buffer).
struct local_memory_traits {
    using value_type = HLOCAL;
    static HLOCAL invalid() { return nullptr; }
    static constexpr auto close_call = LocalFree;
};

using kernel_handle = unique_handle<kernel_handle_traits>;
using file_handle = unique_handle<file_handle_traits>;
using mapped_view = unique_handle<view_traits>;
using module_handle = unique_handle<module_traits>;
using find_handle = unique_handle<find_handle_traits>;
using registry_key = unique_handle<registry_key_traits>;
using local_memory = unique_handle<local_memory_traits>;

} // namespace win32
