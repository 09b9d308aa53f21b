#include "coroutine.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "source_lines.hpp"

namespace lines = source_lines::process_parent_post;

// The Graph API field selection sent with every fetch, and the keywords of
// the call; made once, so every call passes the very same objects.
static PyObject* parent_post_fields;
static PyObject* fetch_kwnames;
static GlobalAttribute json_loads = {&names.json, &names.loads, nullptr, nullptr};

static int prepare() noexcept
{
    if (ready_coroutine_type() < 0)
        return -1;
    if (intern_into(&parent_post_fields,
                    "permalink,id,caption,comments_count,like_count,media_type,media_url,"
                    "owner{name,username,ig_id,id,followers_count,follows_count,media_count,biography,"
                    "profile_picture_url,website},ig_id,username,shortcode,thumbnail_url,media_product_type,"
                    "is_comment_enabled,timestamp,children{media_type,media_url,thumbnail_url}") < 0)
        return -1;
    if (!fetch_kwnames) {
        PyObject* const* parameters = process_parent_post_def.parameters;
        Ref fields = Ref::steal(PyUnicode_InternFromString("fields"));
        if (!fields)
            return -1;
        // endpoint=post_id, access_token=access_token, fields=...
        Ref endpoint = Ref::steal(PyUnicode_InternFromString("endpoint"));
        if (!endpoint)
            return -1;
        fetch_kwnames = PyTuple_Pack(3, endpoint.get(), parameters[2], fields.get());
        if (!fetch_kwnames)
            return -1;
    }
    return 0;
}

// Runs up to the await: the client's fetch, whose result is awaited.
static PyObject* start(PyObject* const* args, int* line) noexcept
{
    PyObject* post_id = args[0];
    PyObject* instagram_api = args[1];
    PyObject* access_token = args[2];
    *line = lines::fetch;
    PyObject* call_args[] = {nullptr, instagram_api, post_id, access_token, parent_post_fields};
    return PyObject_VectorcallMethod(names.fetch_instagram_data, call_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     fetch_kwnames);
}

// Runs from the awaited value to the result: non-empty text is decoded as JSON.
static PyObject* finish(PyObject* const*, PyObject* response_data, int* line) noexcept
{
    *line = lines::truth;
    int truth = PyObject_IsTrue(response_data);
    if (truth < 0)
        return nullptr;
    if (!truth || !PyUnicode_Check(response_data))
        return Py_NewRef(response_data);

    *line = lines::decode;
    Ref loads = global_attribute(json_loads);
    if (!loads)
        return nullptr;
    return PyObject_CallOneArg(loads.get(), response_data);
}

static const CoroutineDef coroutine_def = {start, finish, &process_parent_post_def, lines::fetch};

static PyObject* process_parent_post(PyObject* const* args, int* line) noexcept
{
    Ref coroutine = make_coroutine(coroutine_def, args);
    if (!coroutine)
        *line = lines::def;
    return coroutine.release();
}

static const char* const varnames[] = {"post_id", "instagram_api", "access_token", "response_data"};

FunctionDef process_parent_post_def = {
    "process_parent_post",
    "tavelmoor.common_functions.process_parent_post",
    {"process_parent_post", lines::def, 3, CO_OPTIMIZED | CO_NEWLOCALS | CO_COROUTINE, varnames, 4},
    nullptr,
    0,
    process_parent_post,
    function_vectorcall<process_parent_post_def, process_parent_post>,
    prepare,
    nullptr,
    {},
};
