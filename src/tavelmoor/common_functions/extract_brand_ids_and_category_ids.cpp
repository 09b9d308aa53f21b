#include <cstring>
#include <utility>

#include "function.hpp"
#include "globals.hpp"
#include "traceback.hpp"

// Each pass behaves as the generator expression `str(item[key]) for item in data`
// consumed by one join, so it reports failures the way such a generator does.
struct Pass {
    const char* key_text;
    int line;
    PyObject* key;   // interned
    PyObject* code;  // the generator expression's code object
};

static Pass brand_pass = {"BrandID", 88, nullptr, nullptr};
static Pass category_pass = {"CategoryID", 89, nullptr, nullptr};

static const char* const genexpr_varnames[] = {"item"};

static int prepare_pass(Pass& pass) noexcept
{
    if (!pass.key) {
        pass.key = PyUnicode_InternFromString(pass.key_text);
        if (!pass.key)
            return -1;
    }
    if (!pass.code) {
        const CodeDef def = {"genexpr", pass.line, 0, CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR,
                             genexpr_varnames, 1};
        pass.code = make_code_object(def).release();
        if (!pass.code)
            return -1;
    }
    return 0;
}

static int prepare() noexcept
{
    if (prepare_pass(brand_pass) < 0 || prepare_pass(category_pass) < 0)
        return -1;
    return 0;
}

// item[key], with a missing key in an exact dict raising KeyError(key) as dict's own subscription does.
static Ref look_up(PyObject* item, PyObject* key) noexcept
{
    if (!PyDict_CheckExact(item))
        return Ref::steal(PyObject_GetItem(item, key));
    PyObject* value;
    int found = PyDict_GetItemRef(item, key, &value);
    if (found == 0)
        PyErr_SetObject(PyExc_KeyError, key);
    return Ref::steal(value);
}

// str() of an int that fits one digit of the long representation, written
// directly: the general conversion builds a scratch number first, and
// identifiers are mostly such small ints.
static PyObject* small_int_text(PyObject* value) noexcept
{
    const Py_ssize_t number = PyUnstable_Long_CompactValue((PyLongObject*)value);
    size_t magnitude = number < 0 ? 0 - (size_t)number : (size_t)number;
    char digits[24];
    char* const end = digits + sizeof digits;
    char* start = end;
    do {
        *--start = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (number < 0)
        *--start = '-';
    PyObject* text = PyUnicode_New(end - start, 127);
    if (text)
        memcpy(PyUnicode_1BYTE_DATA(text), start, (size_t)(end - start));
    return text;
}

// str(value), without a conversion call for an exact str.
static Ref to_text(Ref value) noexcept
{
    PyObject* object = value.get();
    if (PyUnicode_CheckExact(object))
        return value;
    if (PyLong_CheckExact(object)) {
        if (PyUnstable_Long_IsCompact((PyLongObject*)object))
            return Ref::steal(small_int_text(object));
        return Ref::steal(PyLong_Type.tp_repr(object));
    }
    return Ref::steal(PyObject_Str(object));
}

// A list of `size` Nones: the texts of a pass without regrowing it. The
// placeholders are real objects because the list is visible to the garbage
// collector, and so to gc.get_objects() in code that an item runs.
static Ref new_texts(Py_ssize_t size) noexcept
{
    Ref texts = Ref::steal(PyList_New(size));
    if (!texts)
        return texts;
    for (Py_ssize_t i = 0; i < size; ++i)
        PyList_SET_ITEM(texts.get(), i, Py_NewRef(Py_None));
    return texts;
}

static int store_text(PyObject* texts, Py_ssize_t index, Ref text) noexcept
{
    // Code run by an item can reach the list through gc.get_objects() and
    // shorten it; never write past its end.
    if (index >= PyList_GET_SIZE(texts))
        return PyList_Append(texts, text.get());
    PyObject* placeholder = PyList_GET_ITEM(texts, index);
    PyList_SET_ITEM(texts, index, text.release());
    Py_DECREF(placeholder);
    return 0;
}

// Sets str(item[key]) for every item of `data` in `texts`. The length is
// read again before every step, since subscription and __str__ may run code
// that changes the list; the item is held while its step uses it.
static int collect_texts(PyObject* data, PyObject* key, PyObject* texts) noexcept
{
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(data); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
        Ref value = look_up(item.get(), key);
        if (!value)
            return -1;
        Ref text = to_text(std::move(value));
        if (!text || store_text(texts, i, std::move(text)) < 0)
            return -1;
    }
    // The list shrank during the walk: drop the unused placeholders.
    if (i < PyList_GET_SIZE(texts))
        return PyList_SetSlice(texts, i, PyList_GET_SIZE(texts), nullptr);
    return 0;
}

static Ref run_pass(PyObject* data, const Pass& pass, int* line) noexcept
{
    *line = pass.line;
    Ref texts = new_texts(PyList_GET_SIZE(data));
    if (!texts) {
        add_traceback_entry("tavelmoor.common_functions.extract_brand_ids_and_category_ids.genexpr", pass.line);
        return Ref();
    }
    if (collect_texts(data, pass.key, texts.get()) < 0) {
        replace_stop_iteration();
        add_traceback_entry("genexpr", pass.line);
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(names.comma, texts.get()));
}

static PyObject* extract_brand_ids_and_category_ids(PyObject* const* args, int* line) noexcept
{
    PyObject* data = args[0];
    if (require_exact_type(data, &PyList_Type, "data") < 0)
        return nullptr;

    Ref brand_ids = run_pass(data, brand_pass, line);
    if (!brand_ids)
        return nullptr;
    Ref category_ids = run_pass(data, category_pass, line);
    if (!category_ids)
        return nullptr;

    *line = 90;
    PyObject* result = PyTuple_New(2);
    if (!result)
        return nullptr;
    PyTuple_SET_ITEM(result, 0, category_ids.release());
    PyTuple_SET_ITEM(result, 1, brand_ids.release());
    return result;
}

static const char* const varnames[] = {"data", "brand_ids", "category_ids", "genexpr", "genexpr", "genexpr"};
static const char* const annotations[] = {"data", "List[Dict]", "return", "Tuple[str, str]"};
FunctionDef extract_brand_ids_and_category_ids_def = {
    "extract_brand_ids_and_category_ids",
    "tavelmoor.common_functions.extract_brand_ids_and_category_ids",
    {"extract_brand_ids_and_category_ids", 86, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 6},
    annotations,
    2,
    extract_brand_ids_and_category_ids,
    prepare,
    nullptr,
    {},
};
