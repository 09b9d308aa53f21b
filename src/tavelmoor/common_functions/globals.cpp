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
    // Lets the traceback printer suggest a close name, as for a Python NameError;
    // failing to set it leaves the error as it is.
    SavedException raised;
    (void)PyObject_SetAttrString(raised.get(), "name", name);
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

int intern_into(PyObject** slot, const char* text) noexcept
{
    if (!*slot)
        *slot = PyUnicode_InternFromString(text);
    return *slot ? 0 : -1;
}

int intern_names() noexcept
{
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
        {&names.empty, ""},
    };
    for (const Entry& entry : entries) {
        if (intern_into(entry.slot, entry.text) < 0)
            return -1;
    }
    return 0;
}
