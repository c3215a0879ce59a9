#pragma once

#include <dlfcn.h>
#include <optional>
#include <string>

#include "core/base/error.h"

namespace cartscope::core {

// A shared library opened when first needed (dlopen) and kept loaded until the program ends,
// as a linked library would be; its functions are bound by name. A program that never needs
// it never pays for loading it.
class SharedLibrary {
public:
    explicit SharedLibrary(const char* soname) : m_handle(::dlopen(soname, RTLD_NOW | RTLD_LOCAL))
    {}
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

// The table of a library's functions that a caller uses, bound the first time it is asked for
// by `bindAll(library, table)` (true when every function was found) and kept from then on.
// Throws `what` + " " + soname + " cannot be loaded" when the library or one of the functions
// is missing: a broken installation.
template <typename Table, typename BindAll>
const Table& libraryTable(const char* soname, const char* what, BindAll bindAll)
{
    static const std::optional<Table> table = [&]() -> std::optional<Table> {
        Table t{};
        const SharedLibrary library(soname);
        if (!bindAll(library, t))
            return std::nullopt;
        return t;
    }();
    if (!table)
        throw Error(std::string(what) + " " + soname + " cannot be loaded");
    return *table;
}

} // namespace cartscope::core
