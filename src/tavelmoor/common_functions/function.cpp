#include "function.hpp"

#include <cstring>

#include <structmember.h>

#include "globals.hpp"
#include "traceback.hpp"
#include "types.hpp"

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* type_params;
    PyObject* dict;
    PyObject* is_coroutine;
    PyObject* weakreflist;
};

}  // namespace

// A heap type, made once: unlike PyType_Ready on a static type, a failed
// PyType_FromSpec leaves nothing half-built behind, so a failed import can
// simply be retried.
static PyTypeObject* FunctionType;

// The bytecode and location table of an empty code object: they never run,
// but they are valid, so the interpreter can inspect them safely.
static Ref make_code_object_from(PyObject* empty, const CodeDef& def) noexcept
{
    Ref bytecode = Ref::steal(PyCode_GetCode((PyCodeObject*)empty));
    if (!bytecode)
        return Ref();
    Ref linetable = Ref::steal(PyObject_GetAttrString(empty, "co_linetable"));
    if (!linetable)
        return Ref();
    Ref varnames = Ref::steal(PyTuple_New(def.nvarnames));
    if (!varnames)
        return Ref();
    for (int i = 0; i < def.nvarnames; ++i) {
        PyObject* varname = PyUnicode_InternFromString(def.varnames[i]);
        if (!varname)
            return Ref();
        PyTuple_SET_ITEM(varnames.get(), i, varname);
    }
    PyObject* empty_tuple = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_TUPLE);
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty_bytes)
        return Ref();
    PyCodeObject* code = (PyCodeObject*)empty;
    return Ref::steal((PyObject*)PyUnstable_Code_NewWithPosOnlyArgs(
        def.argcount, 0, 0, def.nvarnames, code->co_stacksize, def.flags, bytecode.get(), empty_tuple,
        empty_tuple, varnames.get(), empty_tuple, empty_tuple, code->co_filename, code->co_name,
        code->co_name, def.first_line, linetable.get(), empty_bytes.get()));
}

static Ref make_code_object(const CodeDef& def) noexcept
{
    Ref empty = Ref::steal((PyObject*)PyCode_NewEmpty(source_filename, def.name, def.first_line));
    if (!empty)
        return Ref();
    return make_code_object_from(empty.get(), def);
}

int prepare_function(FunctionDef& def) noexcept
{
    if (!def.code_object) {
        Ref code = make_code_object(def.code);
        if (!code)
            return -1;
        PyObject* varnames = ((PyCodeObject*)code.get())->co_localsplusnames;
        for (int i = 0; i < def.code.argcount; ++i)
            def.parameters[i] = Py_NewRef(PyTuple_GET_ITEM(varnames, i));
        def.code_object = code.release();
    }
    return def.prepare ? def.prepare() : 0;
}

// Builds an ASCII message piece by piece: PyUnicode_FromFormat parses its
// format and goes through sprintf for every number, which costs several
// times what the rest of a failed call does. Pieces are copied whole, never
// byte by byte: a literal's length is known when compiling.
class AsciiMessage {
public:
    template <size_t size>
    void append(const char (&literal)[size]) noexcept
    {
        append(literal, size - 1);
    }
    // At most `limit` bytes of `text`, as "%.<limit>s" takes them.
    void append_bounded(const char* text, size_t limit) noexcept
    {
        append(text, strnlen(text, limit));
    }
    void append(Py_ssize_t number) noexcept
    {
        char digits[24];
        char* start = digits + sizeof digits;
        size_t magnitude = number < 0 ? 0 - (size_t)number : (size_t)number;
        do {
            *--start = (char)('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude);
        if (number < 0)
            *--start = '-';
        append(start, (size_t)(digits + sizeof digits - start));
    }
    PyObject* make() const noexcept
    {
        PyObject* text = PyUnicode_New((Py_ssize_t)length_, 127);
        if (text)
            memcpy(PyUnicode_1BYTE_DATA(text), buffer_, length_);
        return text;
    }

private:
    // Two copies, so that where a literal's length is inlined it stays a
    // constant in the common one, which then takes a few moves and no call.
    void append(const char* text, size_t length) noexcept
    {
        const size_t room = sizeof buffer_ - length_;
        if (length <= room) {
            memcpy(buffer_ + length_, text, length);
            length_ += length;
        } else {
            memcpy(buffer_ + length_, text, room);
            length_ += room;
        }
    }

    char buffer_[320];
    size_t length_ = 0;
};

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"; the function
// names are ASCII, as the message must be for this writer.
static void raise_count_error(const FunctionDef& def, Py_ssize_t given) noexcept
{
    const Py_ssize_t expected = def.code.argcount;
    AsciiMessage message;
    message.append_bounded(def.name, 200);
    message.append("() takes exactly ");
    message.append(expected);
    message.append(" positional argument");
    if (expected != 1)
        message.append("s");
    message.append(" (");
    message.append(given);
    message.append(" given)");
    Ref text = Ref::steal(message.make());
    if (text)
        PyErr_SetObject(PyExc_TypeError, text.get());
}

// The index of the parameter named `key`, -1 when there is none, -2 with an
// error set when `key` is no string.
static int find_parameter(const FunctionDef& def, PyObject* key) noexcept
{
    const int count = def.code.argcount;
    for (int i = 0; i < count; ++i) {
        if (def.parameters[i] == key)
            return i;
    }
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
        return -2;
    }
    for (int i = 0; i < count; ++i) {
        if (PyUnicode_Compare(def.parameters[i], key) == 0)
            return i;
    }
    return -1;
}

// Binds a vectorcall's arguments to the parameters of `def`. Returns the
// arguments in parameter order, borrowed (either `args` itself or `bound`),
// or NULL with TypeError set.
static PyObject* const* bind_arguments(const FunctionDef& def, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames, PyObject** bound) noexcept
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkwargs = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int count = def.code.argcount;
    if (nkwargs == 0) {
        if (nargs != count) {
            raise_count_error(def, nargs);
            return nullptr;
        }
        return args;
    }
    if (nargs > count) {
        raise_count_error(def, nargs);
        return nullptr;
    }
    for (int i = 0; i < count; ++i)
        bound[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkwargs; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        int index = find_parameter(def, key);
        if (index == -2)
            return nullptr;
        if (index == -1) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
            return nullptr;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
            return nullptr;
        }
        bound[index] = args[nargs + k];
    }
    for (int i = 0; i < count; ++i) {
        if (!bound[i]) {
            raise_count_error(def, i);
            return nullptr;
        }
    }
    return bound;
}

void add_function_entry(const FunctionDef& def, int line) noexcept
{
    add_traceback_entry(def.qualified_name, line);
}

PyObject* call_with_binding(const FunctionDef& def, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept
{
    PyObject* bound[3];
    PyObject* const* argv = bind_arguments(def, args, nargsf, kwnames, bound);
    if (!argv) {
        add_function_entry(def, def.code.first_line);
        return nullptr;
    }
    int line = 0;
    PyObject* result = def.body(argv, &line);
    if (!result && line)
        add_function_entry(def, line);
    return result;
}

Ref make_function(FunctionDef& def, PyObject* globals, PyObject* annotations) noexcept
{
    Ref module = Ref::steal(PyUnicode_FromString(module_name));
    if (!module)
        return Ref();
    FunctionObject* op = PyObject_GC_New(FunctionObject, FunctionType);
    if (!op)
        return Ref();
    PyObject* name = ((PyCodeObject*)def.code_object)->co_name;
    op->vectorcall = def.vectorcall;
    op->def = &def;
    op->name = Py_NewRef(name);
    op->qualname = Py_NewRef(name);
    op->doc = Py_NewRef(Py_None);
    op->module = module.release();
    op->globals = Py_NewRef(globals);
    op->code = Py_NewRef(def.code_object);
    op->annotations = Py_XNewRef(annotations);
    op->type_params = nullptr;
    op->dict = nullptr;
    op->is_coroutine = nullptr;
    op->weakreflist = nullptr;
    PyObject_GC_Track(op);
    return Ref::steal((PyObject*)op);
}

static int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(op->name);
    Py_VISIT(op->qualname);
    Py_VISIT(op->doc);
    Py_VISIT(op->module);
    Py_VISIT(op->globals);
    Py_VISIT(op->code);
    Py_VISIT(op->annotations);
    Py_VISIT(op->type_params);
    Py_VISIT(op->dict);
    Py_VISIT(op->is_coroutine);
    return 0;
}

static int function_clear(PyObject* self) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    // The name, qualname and code stay valid for the repr of a half-collected object.
    Py_CLEAR(op->doc);
    Py_CLEAR(op->module);
    Py_CLEAR(op->globals);
    Py_CLEAR(op->annotations);
    Py_CLEAR(op->type_params);
    Py_CLEAR(op->dict);
    Py_CLEAR(op->is_coroutine);
    return 0;
}

static void function_dealloc(PyObject* self) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    PyObject_GC_UnTrack(self);
    if (op->weakreflist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(op->name);
    Py_CLEAR(op->qualname);
    Py_CLEAR(op->code);
    free_heap_instance(self);
}

static PyObject* function_repr(PyObject* self) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", ((FunctionObject*)self)->qualname, self);
}

static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

static PyObject* function_reduce(PyObject* self, PyObject*) noexcept
{
    return Py_NewRef(((FunctionObject*)self)->qualname);
}

static StrField name_field = {offsetof(FunctionObject, name), "__name__"};
static StrField qualname_field = {offsetof(FunctionObject, qualname), "__qualname__"};

static PyObject* get_code(PyObject* self, void*) noexcept
{
    return Py_NewRef(((FunctionObject*)self)->code);
}

static int set_code(PyObject* self, PyObject* value, void*) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    if (!value || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    if (PySys_Audit("object.__setattr__", "OsO", self, "__code__", value) < 0)
        return -1;
    int nfree = ((PyCodeObject*)value)->co_nfreevars;
    if (nfree != 0) {
        PyErr_Format(PyExc_ValueError, "%U() requires a code object with %zd free vars, not %zd", op->name,
                     (Py_ssize_t)0, (Py_ssize_t)nfree);
        return -1;
    }
    Py_SETREF(op->code, Py_NewRef(value));
    return 0;
}

static PyObject* get_annotations(PyObject* self, void*) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    if (!op->annotations) {
        op->annotations = PyDict_New();
        if (!op->annotations)
            return nullptr;
    }
    return Py_NewRef(op->annotations);
}

static int set_annotations(PyObject* self, PyObject* value, void*) noexcept
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(((FunctionObject*)self)->annotations, Py_XNewRef(value));
    return 0;
}

static PyObject* get_type_params(PyObject* self, void*) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    return op->type_params ? Py_NewRef(op->type_params) : PyTuple_New(0);
}

static int set_type_params(PyObject* self, PyObject* value, void*) noexcept
{
    if (!value || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(((FunctionObject*)self)->type_params, Py_NewRef(value));
    return 0;
}

// __doc__ and __module__ take any value; deleting one leaves None, as on Python functions.
static PyObject** field_at(PyObject* self, void* offset) noexcept
{
    return (PyObject**)((char*)self + (size_t)offset);
}

static PyObject* get_field(PyObject* self, void* offset) noexcept
{
    PyObject* value = *field_at(self, offset);
    return Py_NewRef(value ? value : Py_None);
}

static int set_field(PyObject* self, PyObject* value, void* offset) noexcept
{
    Py_XSETREF(*field_at(self, offset), Py_NewRef(value ? value : Py_None));
    return 0;
}

static PyObject* get_none(PyObject*, void*) noexcept
{
    Py_RETURN_NONE;
}

// asyncio recognises coroutine functions that are not Python functions by this marker.
static PyObject* coroutine_marker() noexcept
{
    Ref module = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
    Ref marker = module ? Ref::steal(PyObject_GetAttrString(module.get(), "_is_coroutine")) : Ref();
    if (!marker) {
        PyErr_Clear();
        Py_RETURN_TRUE;
    }
    return marker.release();
}

static PyObject* get_is_coroutine(PyObject* self, void*) noexcept
{
    FunctionObject* op = (FunctionObject*)self;
    if (!op->is_coroutine) {
        bool coroutine = op->def->code.flags & CO_COROUTINE;
        op->is_coroutine = coroutine ? coroutine_marker() : Py_NewRef(Py_False);
    }
    return Py_NewRef(op->is_coroutine);
}

static int set_is_coroutine(PyObject* self, PyObject* value, void*) noexcept
{
    Py_XSETREF(((FunctionObject*)self)->is_coroutine, Py_XNewRef(value));
    return 0;
}

static PyGetSetDef function_getset[] = {
    {"__name__", get_str_field, set_str_field, nullptr, &name_field},
    {"__qualname__", get_str_field, set_str_field, nullptr, &qualname_field},
    {"__doc__", get_field, set_field, nullptr, (void*)offsetof(FunctionObject, doc)},
    {"__module__", get_field, set_field, nullptr, (void*)offsetof(FunctionObject, module)},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, set_is_coroutine, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMemberDef function_members[] = {
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyType_Slot function_slots[] = {
    {Py_tp_dealloc, (void*)function_dealloc},
    {Py_tp_repr, (void*)function_repr},
    {Py_tp_call, (void*)PyVectorcall_Call},
    {Py_tp_traverse, (void*)function_traverse},
    {Py_tp_clear, (void*)function_clear},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, (void*)function_descr_get},
    {0, nullptr},
};

static PyType_Spec function_spec = {
    "tavelmoor.common_functions.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

int ready_function_type() noexcept
{
    if (!FunctionType)
        FunctionType = make_heap_type(&function_spec);
    return FunctionType ? 0 : -1;
}
