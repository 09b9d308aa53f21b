#include "globals.hpp"

InternedNames names;

static PyObject* globals_dict;
static PyObject* builtins_dict;

PyObject* module_globals() noexcept
{
    return globals_dict;
}

// The dict watcher of the attributes' caches: -1 until first needed, -2 when
// the interpreter had no watcher left, and every call looks its attribute up.
static int attribute_watcher = -1;
static GlobalAttribute* watched_attributes;

static void forget_attributes() noexcept
{
    for (GlobalAttribute* cache = watched_attributes; cache; cache = cache->next_watched)
        cache->found = nullptr;
}

// Any event of any watched dict (a change, a clear, its deallocation) comes
// before the dict changes, and is rare: all caches are dropped.
static int on_watched_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    forget_attributes();
    return 0;
}

void set_module_globals(PyObject* dict, PyObject* builtins) noexcept
{
    Py_XINCREF(dict);
    Py_XINCREF(builtins);
    Py_XSETREF(globals_dict, dict);
    Py_XSETREF(builtins_dict, builtins);
    forget_attributes();
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

static bool watch(PyObject* dict) noexcept
{
    if (PyDict_Watch(attribute_watcher, dict) == 0)
        return true;
    PyErr_Clear();
    return false;
}

// Keeps `value`, just read from the dict of `module`, the global found in the
// module's globals, when both dicts can be watched.
static void remember_attribute(GlobalAttribute& cache, PyObject* module, PyObject* value) noexcept
{
    if (attribute_watcher == -1) {
        attribute_watcher = PyDict_AddWatcher(on_watched_dict_event);
        if (attribute_watcher < 0) {
            PyErr_Clear();
            attribute_watcher = -2;
        }
    }
    if (attribute_watcher < 0 || !watch(globals_dict) || !watch(PyModule_GetDict(module)))
        return;
    GlobalAttribute* listed = watched_attributes;
    while (listed && listed != &cache)
        listed = listed->next_watched;
    if (!listed) {
        cache.next_watched = watched_attributes;
        watched_attributes = &cache;
    }
    cache.found = value;
}

static Ref find_global_attribute(GlobalAttribute& cache) noexcept
{
    PyObject* name = *cache.global;
    PyObject* attribute = *cache.attribute;
    PyObject* module;
    int found = PyDict_GetItemRef(globals_dict, name, &module);
    if (found < 0)
        return Ref();
    if (found == 0) {
        Ref builtin = lookup_global(name);
        return builtin ? module_attribute(builtin.get(), attribute) : Ref();
    }
    Ref owned = Ref::steal(module);
    if (!PyModule_CheckExact(module))
        return module_attribute(module, attribute);
    PyObject* value;
    found = PyDict_GetItemRef(PyModule_GetDict(module), attribute, &value);
    if (found == 0)
        return Ref::steal(PyObject_GetAttr(module, attribute));
    if (found > 0)
        remember_attribute(cache, module, value);
    return Ref::steal(value);
}

Ref global_attribute(GlobalAttribute& cache) noexcept
{
    if (cache.found)
        return Ref::borrow(cache.found);
    return find_global_attribute(cache);
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
