#pragma once

#include "ref.hpp"

// The full name of the module, whatever name it was loaded under.
inline constexpr const char module_name[] = "tavelmoor.common_functions";

// The module's dict once execution has begun, or NULL. Borrowed.
PyObject* module_globals() noexcept;

// Looks `name` up in the module's globals, then in builtins, as a Python
// global name is resolved. Raises NameError when neither has it.
Ref lookup_global(PyObject* name) noexcept;

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
