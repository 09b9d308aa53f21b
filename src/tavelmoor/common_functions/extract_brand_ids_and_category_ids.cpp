#include <cstring>
#include <utility>

#include "function.hpp"
#include "globals.hpp"
#include "source_lines.hpp"
#include "types.hpp"
#include "traceback.hpp"

namespace lines = source_lines::extract_brand_ids_and_category_ids;

// Each pass behaves as the generator expression `str(item[key]) for item in data`
// consumed by one join, so it reports failures the way such a generator does.
struct Pass {
    const char* key_text;
    int line;
    PyObject* key;  // interned
};

static Pass brand_pass = {"BrandID", lines::brand_ids, nullptr};
static Pass category_pass = {"CategoryID", lines::category_ids, nullptr};

static int prepare() noexcept
{
    if (intern_into(&brand_pass.key, brand_pass.key_text) < 0
        || intern_into(&category_pass.key, category_pass.key_text) < 0)
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

// The text of one value: a str held here, or the decimal digits of an int
// that fits one digit of the long representation, which identifiers mostly
// are; those are written straight into the joined result, without a str of
// their own.
struct Field {
    PyObject* text;  // owned; NULL when the field is `digits`
    unsigned char ndigits;
    char digits[23];
};

static void write_small_int(Field& field, PyObject* value) noexcept
{
    const Py_ssize_t number = PyUnstable_Long_CompactValue((PyLongObject*)value);
    size_t magnitude = number < 0 ? 0 - (size_t)number : (size_t)number;
    char* const end = field.digits + sizeof field.digits;
    char* start = end;
    do {
        *--start = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (number < 0)
        *--start = '-';
    field.ndigits = (unsigned char)(end - start);
    memmove(field.digits, start, field.ndigits);
    field.text = nullptr;
}

// Sets `field` to str(value), without a conversion call for an exact str or a small int.
static int make_field(Field& field, Ref value) noexcept
{
    PyObject* object = value.get();
    if (PyUnicode_CheckExact(object)) {
        field.text = value.release();
        return 0;
    }
    if (PyLong_CheckExact(object)) {
        if (PyUnstable_Long_IsCompact((PyLongObject*)object)) {
            write_small_int(field, object);
            return 0;
        }
        field.text = PyLong_Type.tp_repr(object);
    } else {
        field.text = PyObject_Str(object);
    }
    return field.text ? 0 : -1;
}

// The fields of one pass, in order. The buffer is not an object: code that
// an item runs cannot find or change it.
class Fields {
public:
    Fields() noexcept = default;
    Fields(const Fields&) = delete;
    Fields& operator=(const Fields&) = delete;
    ~Fields()
    {
        for (Py_ssize_t i = 0; i < count_; ++i)
            Py_XDECREF(items_[i].text);
        if (items_ != inline_)
            PyMem_Free(items_);
    }

    // Makes room for `capacity` fields; -1 with MemoryError set on failure.
    int reserve(Py_ssize_t capacity) noexcept
    {
        if (capacity <= capacity_)
            return 0;
        if ((size_t)capacity > PY_SSIZE_T_MAX / sizeof(Field)) {
            PyErr_NoMemory();
            return -1;
        }
        Field* items = (Field*)PyMem_Malloc((size_t)capacity * sizeof(Field));
        if (!items) {
            PyErr_NoMemory();
            return -1;
        }
        memcpy(items, items_, (size_t)count_ * sizeof(Field));
        if (items_ != inline_)
            PyMem_Free(items_);
        items_ = items;
        capacity_ = capacity;
        return 0;
    }

    // The next field, to be filled by the caller, or NULL with MemoryError set.
    Field* add() noexcept
    {
        if (count_ == capacity_ && reserve(capacity_ + capacity_ / 2 + 8) < 0)
            return nullptr;
        Field* field = &items_[count_];
        field->text = nullptr;
        return field;
    }
    void commit() noexcept { ++count_; }

    // ",".join of the texts, as str.join gives it.
    Ref join() const noexcept
    {
        if (count_ == 0)
            return Ref::borrow(names.empty);
        if (count_ == 1 && items_[0].text && PyUnicode_CheckExact(items_[0].text))
            return Ref::borrow(items_[0].text);
        Py_ssize_t length = count_ - 1;
        Py_UCS4 maxchar = 127;
        for (Py_ssize_t i = 0; i < count_; ++i) {
            const Field& field = items_[i];
            Py_ssize_t size = field.text ? PyUnicode_GET_LENGTH(field.text) : field.ndigits;
            if (length > PY_SSIZE_T_MAX - size) {
                PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
                return Ref();
            }
            length += size;
            if (field.text && PyUnicode_MAX_CHAR_VALUE(field.text) > maxchar)
                maxchar = PyUnicode_MAX_CHAR_VALUE(field.text);
        }
        Ref result = Ref::steal(PyUnicode_New(length, maxchar));
        if (!result)
            return result;
        const int kind = PyUnicode_KIND(result.get());
        void* data = PyUnicode_DATA(result.get());
        Py_ssize_t at = 0;
        for (Py_ssize_t i = 0; i < count_; ++i) {
            const Field& field = items_[i];
            if (i)
                PyUnicode_WRITE(kind, data, at++, ',');
            if (!field.text) {
                for (int d = 0; d < field.ndigits; ++d)
                    PyUnicode_WRITE(kind, data, at++, field.digits[d]);
                continue;
            }
            const Py_ssize_t size = PyUnicode_GET_LENGTH(field.text);
            if (PyUnicode_KIND(field.text) == kind)
                memcpy((char*)data + at * kind, PyUnicode_DATA(field.text), (size_t)(size * kind));
            else if (PyUnicode_CopyCharacters(result.get(), at, field.text, 0, size) < 0)
                return Ref();
            at += size;
        }
        return result;
    }

private:
    static constexpr Py_ssize_t inline_capacity = 24;
    Field inline_[inline_capacity];
    Field* items_ = inline_;
    Py_ssize_t count_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
};

// Adds str(item[key]) for every item of `data` to `fields`. The length is
// read again before every step, since subscription and __str__ may run code
// that changes the list; the item is held while its step uses it.
static int collect_fields(PyObject* data, PyObject* key, Fields& fields) noexcept
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(data, i));
        Ref value = look_up(item.get(), key);
        if (!value)
            return -1;
        Field* field = fields.add();
        if (!field || make_field(*field, std::move(value)) < 0)
            return -1;
        fields.commit();
    }
    return 0;
}

static Ref run_pass(PyObject* data, const Pass& pass, int* line) noexcept
{
    *line = pass.line;
    Fields fields;
    // The two entries follow the module's one rule for names: code run by a
    // call is reported under the callable's module-qualified name, and the
    // body of a generator or coroutine, while it is iterated, under its bare
    // code name (the coroutine reports "process_parent_post" likewise).
    // Setting the pass up is the call that creates the generator expression;
    // the walk runs in the generator's body.
    if (fields.reserve(PyList_GET_SIZE(data)) < 0) {
        add_traceback_entry("tavelmoor.common_functions.extract_brand_ids_and_category_ids.genexpr", pass.line);
        return Ref();
    }
    if (collect_fields(data, pass.key, fields) < 0) {
        replace_stop_iteration();
        add_traceback_entry("genexpr", pass.line);
        return Ref();
    }
    return fields.join();
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

    *line = lines::result;
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result)
        return nullptr;
    PyTuple_SET_ITEM(result.get(), 0, category_ids.release());
    PyTuple_SET_ITEM(result.get(), 1, brand_ids.release());
    return result.release();
}

static const char* const varnames[] = {"data", "brand_ids", "category_ids", "genexpr", "genexpr", "genexpr"};
static const char* const annotations[] = {"data", "List[Dict]", "return", "Tuple[str, str]"};
FunctionDef extract_brand_ids_and_category_ids_def = {
    "extract_brand_ids_and_category_ids",
    "tavelmoor.common_functions.extract_brand_ids_and_category_ids",
    {"extract_brand_ids_and_category_ids", lines::def, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 6},
    annotations,
    2,
    extract_brand_ids_and_category_ids,
    function_vectorcall<extract_brand_ids_and_category_ids_def, extract_brand_ids_and_category_ids>,
    prepare,
    nullptr,
    {},
};
