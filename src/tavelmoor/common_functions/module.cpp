#include <cstdint>
#include <utility>

#include "function.hpp"
#include "globals.hpp"
#include "source_lines.hpp"
#include "traceback.hpp"

// The interpreter that first created the module, and the module once its
// execution has begun. Both live as long as the process.
static int64_t first_interpreter_id = -1;
static PyObject* recorded_module;

static int copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                               bool skip_none) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

static PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (first_interpreter_id == -1) {
        first_interpreter_id = id;
    } else if (id != first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (recorded_module)
        return Py_NewRef(recorded_module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

static int warn_on_version_mismatch() noexcept
{
    const int major = (int)(Py_Version >> 24);
    const int minor = (int)((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// The key of the sys.modules entry that a running execution made, kept so
// that a failed execution can remove it without allocating: a half-built
// module must not stay importable.
static PyObject* registered_key;

static int register_in_sys_modules(PyObject* module) noexcept
{
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_InternFromString(module_name));
    if (!key)
        return -1;
    int found = PyDict_Contains(modules, key.get());
    if (found != 0)
        return found < 0 ? -1 : 0;
    if (PyDict_SetItem(modules, key.get(), module) < 0)
        return -1;
    registered_key = key.release();
    return 0;
}

static void unregister_from_sys_modules(PyObject* module) noexcept
{
    Ref key = Ref::steal(registered_key);
    registered_key = nullptr;
    if (!key)
        return;
    SavedException saved;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found;
    (void)PyDict_GetItemRef(modules, key.get(), &found);
    Ref existing = Ref::steal(found);
    if (existing && existing.get() == module)
        PyDict_DelItem(modules, key.get());
}

// The five functions in source order; each is bound at its def line.
static FunctionDef* const functions[] = {
    &get_hashtags_def,
    &get_media_type_def,
    &extract_brand_ids_and_category_ids_def,
    &process_parent_post_def,
    &extracting_common_details_def,
};

static int prepare_functions() noexcept
{
    if (ready_function_type() < 0 || intern_names() < 0)
        return -1;
    for (FunctionDef* def : functions) {
        if (prepare_function(*def) < 0)
            return -1;
    }
    return 0;
}

// A module found in sys.modules is used as it is unless it is still being
// imported (its spec's _initializing is true). None there means "blocked":
// the full import raises the right error for it.
static bool is_initializing(PyObject* module) noexcept
{
    Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
    Ref initializing = spec ? Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing")) : Ref();
    int result = initializing ? PyObject_IsTrue(initializing.get()) : 0;
    if (result < 0 || !initializing)
        PyErr_Clear();
    return result > 0;
}

static int import_module(PyObject* globals, const char* name) noexcept
{
    Ref name_object = Ref::steal(PyUnicode_InternFromString(name));
    if (!name_object)
        return -1;
    Ref module = Ref::steal(PyImport_GetModule(name_object.get()));
    if (!module && PyErr_Occurred())
        return -1;
    if (!module || module.get() == Py_None || is_initializing(module.get())) {
        module = Ref::steal(PyImport_ImportModuleLevelObject(name_object.get(), globals, nullptr, nullptr, 0));
        if (!module)
            return -1;
    }
    return PyDict_SetItem(globals, name_object.get(), module.get());
}

// Reads `name` from `module` as a from-import does, falling back to the
// submodule of that name in sys.modules.
static Ref import_name_from(PyObject* module, PyObject* module_name_object, PyObject* name) noexcept
{
    Ref value = Ref::steal(PyObject_GetAttr(module, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    Ref full_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name_object, name));
    if (!full_name)
        return Ref();
    value = Ref::steal(PyImport_GetModule(full_name.get()));
    if (!value && !PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

static int import_from(PyObject* globals, const char* module, const char* const* from_names, int count,
                       Ref* module_out = nullptr) noexcept
{
    Ref module_name_object = Ref::steal(PyUnicode_InternFromString(module));
    if (!module_name_object)
        return -1;
    Ref fromlist = Ref::steal(PyList_New(count));
    if (!fromlist)
        return -1;
    for (int i = 0; i < count; ++i) {
        PyObject* name = PyUnicode_InternFromString(from_names[i]);
        if (!name)
            return -1;
        PyList_SET_ITEM(fromlist.get(), i, name);
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name_object.get(), globals, nullptr, fromlist.get(), 0));
    if (!imported)
        return -1;
    for (int i = 0; i < count; ++i) {
        PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = import_name_from(imported.get(), module_name_object.get(), name);
        if (!value || PyDict_SetItem(globals, name, value.get()) < 0)
            return -1;
    }
    if (module_out)
        *module_out = std::move(imported);
    return 0;
}

static Ref make_annotations(const FunctionDef& def) noexcept
{
    if (def.nannotations == 0)
        return Ref();
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations)
        return Ref();
    for (int i = 0; i < def.nannotations; ++i) {
        Ref value = Ref::steal(PyUnicode_FromString(def.annotations[2 * i + 1]));
        if (!value || PyDict_SetItemString(annotations.get(), def.annotations[2 * i], value.get()) < 0)
            return Ref();
    }
    return annotations;
}

static int bind_function(PyObject* globals, FunctionDef& def) noexcept
{
    Ref annotations = make_annotations(def);
    if (!annotations && PyErr_Occurred())
        return -1;
    Ref function = make_function(def, globals, annotations.get());
    if (!function)
        return -1;
    return PyDict_SetItem(globals, ((PyCodeObject*)def.code_object)->co_name, function.get());
}

namespace lines = source_lines::module;

static int fail_at(int line) noexcept
{
    add_traceback_entry("init tavelmoor.common_functions", line);
    return -1;
}

static int execute(PyObject* module) noexcept
{
    PyObject* globals = PyModule_GetDict(module);
    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (!builtins)
        return -1;
    set_module_globals(globals, PyModule_GetDict(builtins.get()));
    if (PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0)
        return -1;
    if (warn_on_version_mismatch() < 0)
        return -1;
    if (register_in_sys_modules(module) < 0 || prepare_functions() < 0)
        return fail_at(lines::setup);

    if (import_module(globals, "json") < 0)
        return fail_at(lines::import_json);
    if (import_module(globals, "re") < 0)
        return fail_at(lines::import_re);
    static const char* const datetime_names[] = {"datetime"};
    Ref datetime_module;
    if (import_from(globals, "datetime", datetime_names, 1, &datetime_module) < 0
        || record_datetime_api(datetime_module.get()) < 0)
        return fail_at(lines::import_datetime);
    static const char* const typing_names[] = {"Tuple", "List", "Dict"};
    if (import_from(globals, "typing", typing_names, 3) < 0)
        return fail_at(lines::import_typing);

    for (FunctionDef* def : functions) {
        if (bind_function(globals, *def) < 0)
            return fail_at(def->code.first_line);
    }

    Ref test = Ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(globals, "__test__", test.get()) < 0)
        return fail_at(lines::setup);
    return 0;
}

static int module_exec(PyObject* module) noexcept
{
    if (recorded_module) {
        if (recorded_module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'common_functions' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    recorded_module = Py_NewRef(module);
    if (execute(module) < 0) {
        // Forgotten, so that a later import starts afresh.
        unregister_from_sys_modules(module);
        Py_CLEAR(recorded_module);
        return -1;
    }
    Py_CLEAR(registered_key);
    return 0;
}

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void*)module_create},
    {Py_mod_exec, (void*)module_exec},
    {0, nullptr},
};

static PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "common_functions",
    nullptr,
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

PyMODINIT_FUNC PyInit_common_functions(void)
{
    return PyModuleDef_Init(&module_def);
}
