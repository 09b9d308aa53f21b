#include "function.hpp"
#include "globals.hpp"
#include "source_lines.hpp"

namespace lines = source_lines::get_hashtags;

static PyObject* pattern;
static GlobalAttribute re_findall = {&names.re, &names.findall, nullptr, nullptr};

static int prepare() noexcept
{
    return intern_into(&pattern, "(?<=#)\\w+");
}

// The body past its first line, for a true text. Kept out of line, so that
// the call with an empty text does not pay for setting up this part.
[[gnu::noinline]] static PyObject* find_hashtags(PyObject* text, int* line) noexcept
{
    *line = lines::findall;
    Ref findall = global_attribute(re_findall);
    if (!findall)
        return nullptr;
    PyObject* call_args[] = {pattern, text};
    Ref matches = Ref::steal(PyObject_Vectorcall(findall.get(), call_args, 2, nullptr));
    if (!matches)
        return nullptr;

    *line = lines::join;
    return PyUnicode_Join(names.comma, matches.get());
}

static PyObject* get_hashtags(PyObject* const* args, int* line) noexcept
{
    PyObject* text = args[0];
    // An exact str is true when it is not empty; no method call is needed.
    int truth = PyUnicode_CheckExact(text) ? PyUnicode_GET_LENGTH(text) != 0 : PyObject_IsTrue(text);
    if (truth > 0)
        return find_hashtags(text, line);
    if (truth < 0) {
        *line = lines::truth;
        return nullptr;
    }
    return Py_NewRef(names.empty);
}

static const char* const varnames[] = {"text", "regex", "matches", "hashtags"};

FunctionDef get_hashtags_def = {
    "get_hashtags",
    "tavelmoor.common_functions.get_hashtags",
    {"get_hashtags", lines::def, 1, CO_OPTIMIZED | CO_NEWLOCALS, varnames, 4},
    nullptr,
    0,
    get_hashtags,
    function_vectorcall<get_hashtags_def, get_hashtags>,
    prepare,
    nullptr,
    {},
};
