#pragma once

#include <dlfcn.h>

namespace cartscope::core {

// A shared library opened when first needed (dlopen) and kept loaded until the program ends,
// as a linked library would be; its functions are bound by name. A program that never needs
// it never pays for loading it.
class SharedLibrary {
public:
    explicit SharedLibrary(const char* soname) : m_handle(::dlopen(soname, RTLD_NOW | RTLD_LOCAL))
    {}
    bool loaded() const { return m_handle != nullptr; }
    // Points `function` at the library's symbol `name`; false when the library or the symbol
    // is missing.
    template <typename F> bool bind(F& function, const char* name) const
    {
        function = m_handle ? reinterpret_cast<F>(::dlsym(m_handle, name)) : nullptr;
        return function != nullptr;
    }

private:
    void* m_handle;
};

} // namespace cartscope::core
