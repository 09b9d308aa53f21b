#pragma once

#include "ref.hpp"

// The full name of the module, whatever name it was loaded under.
inline constexpr const char module_name[] = "tavelmoor.common_functions";

// The module's dict once execution has begun, or NULL. Borrowed.
PyObject* module_globals() noexcept;

// Looks `name` up in the module's globals, then in builtins, as a Python
// global name is resolved. Raises NameError when neither has it.
Ref lookup_global(PyObject* name) noexcept;

// getattr(module, name) for a module global such as re or json. The type of
// an exact module (immutable) defines no such attribute, so the generic lookup
// would find the module dict's entry first; reading it directly skips the
// type's lookup. Anything else, a miss included (the module's __getattr__,
// the AttributeError), takes the generic lookup.
inline Ref module_attribute(PyObject* module, PyObject* name) noexcept
{
    if (PyModule_CheckExact(module)) {
        PyObject* value;
        if (PyDict_GetItemRef(PyModule_GetDict(module), name, &value) != 0)
            return Ref::steal(value);
    }
    return Ref::steal(PyObject_GetAttr(module, name));
}

// An attribute of a module global that a body reads on every call, such as
// re.findall: `global` and `attribute` point to the interned names.
struct GlobalAttribute {
    PyObject** global;
    PyObject** attribute;
    // Borrowed from the dict of the module that the global names, while a dict
    // watcher guards both that dict and the module's globals: any change of
    // either forgets it before it happens, so it never outlives its entry.
    PyObject* found;
    GlobalAttribute* next_watched;
};

// getattr(global, attribute), the global looked up as lookup_global does, with
// the same results and errors; while nothing changes in between, the value of
// the last call is used again without a lookup.
Ref global_attribute(GlobalAttribute& cache) noexcept;

// Interned strings made once per process, at module execution.
struct InternedNames {
    PyObject* re;
    PyObject* findall;
    PyObject* json;
    PyObject* loads;
    PyObject* datetime;
    PyObject* utcnow;
    PyObject* strftime;
    PyObject* get;
    PyObject* fetch_instagram_data;
    PyObject* add_note;
    PyObject* comma;
    PyObject* empty;  // the empty str
};
extern InternedNames names;

int intern_names() noexcept;

// Stores the interned `text` in *slot, which keeps it for the life of the
// process, unless an earlier call already did: a failed preparation is simply
// run again. Returns 0, or -1 with the error set.
int intern_into(PyObject** slot, const char* text) noexcept;

// Records the module whose dict the functions use as their globals; NULL forgets it.
void set_module_globals(PyObject* dict, PyObject* builtins) noexcept;

// Finds the C API of the `datetime` module, when it has one, for the clock of
// extracting_common_details. Called once `datetime` is imported; returns -1
// with an error set only when looking it up fails.
int record_datetime_api(PyObject* datetime_module) noexcept;
