#include "globals.hpp"

InternedNames names;

static PyObject* globals_dict;
static PyObject* builtins_dict;

PyObject* module_globals() noexcept
{
    return globals_dict;
}

void set_module_globals(PyObject* dict, PyObject* builtins) noexcept
{
    Py_XINCREF(dict);
    Py_XINCREF(builtins);
    Py_XSETREF(globals_dict, dict);
    Py_XSETREF(builtins_dict, builtins);
}

static void raise_name_error(PyObject* name) noexcept
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // Lets the traceback printer suggest a close name, as for a Python NameError.
    PyObject* exc = PyErr_GetRaisedException();
    if (PyObject_SetAttrString(exc, "name", name) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

Ref lookup_global(PyObject* name) noexcept
{
    PyObject* value;
    int found = PyDict_GetItemRef(globals_dict, name, &value);
    if (found != 0)
        return Ref::steal(value);
    if (builtins_dict) {
        found = PyDict_GetItemRef(builtins_dict, name, &value);
        if (found != 0)
            return Ref::steal(value);
    }
    raise_name_error(name);
    return Ref();
}

int intern_names() noexcept
{
    if (names.re)
        return 0;
    struct Entry {
        PyObject** slot;
        const char* text;
    };
    const Entry entries[] = {
        {&names.re, "re"},
        {&names.findall, "findall"},
        {&names.json, "json"},
        {&names.loads, "loads"},
        {&names.datetime, "datetime"},
        {&names.utcnow, "utcnow"},
        {&names.strftime, "strftime"},
        {&names.get, "get"},
        {&names.fetch_instagram_data, "fetch_instagram_data"},
        {&names.add_note, "add_note"},
        {&names.comma, ","},
    };
    PyObject* made[sizeof entries / sizeof entries[0]];
    size_t count = 0;
    for (const Entry& entry : entries) {
        made[count] = PyUnicode_InternFromString(entry.text);
        if (!made[count]) {
            while (count > 0)
                Py_DECREF(made[--count]);
            return -1;
        }
        ++count;
    }
    // Published only when all exist, so a failed attempt can simply be retried.
    for (size_t i = 0; i < count; ++i)
        *entries[i].slot = made[i];
    return 0;
}
